#!/usr/bin/env bash
# The benchmarks' source tree, made once per size: make_tree.sh DIR MIB
# About 2000 small files of 1 to 100 KiB per GiB plus four large files filling
# the rest; half compressible text, half random bytes.
set -euo pipefail
tree=$1 mib=$2
[ -f "$tree/.complete" ] && exit 0
write_file() {  # path bytes index
  if [ $(( $3 % 2 )) -eq 0 ]; then
    (yes "vardokeep benchmark line $3 with some repeated text to compress" || true) | head -c "$2" > "$1"
  else
    head -c "$2" /dev/urandom > "$1"
  fi
}
rm -rf "$tree"
small=$(( mib * 2000 / 1024 )); [ "$small" -lt 20 ] && small=20
total=$(( mib * 1024 * 1024 ))
used=0
RANDOM=4242
for i in $(seq 1 "$small"); do
  dir="$tree/small/d$(( i % 40 ))/e$(( i % 7 ))"
  mkdir -p "$dir"
  size=$(( (RANDOM % 100 + 1) * 1024 - RANDOM % 1024 ))
  write_file "$dir/f$i.dat" "$size" "$i"
  used=$(( used + size ))
done
mkdir -p "$tree/large"
rest=$(( total - used )); [ "$rest" -lt 0 ] && rest=0
for i in 1 2 3 4; do write_file "$tree/large/l$i.bin" $(( rest / 4 + i )) "$i"; done
touch "$tree/.complete"
