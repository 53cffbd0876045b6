#!/usr/bin/env bash
# Capture benchmark (figures, not a test; never in CI). Generates a tree, then
# under Wine times `vardokeep-agent check` against read_ceiling.exe, which
# makes only the calls check must make per chunk, over the same files.
#
#   bash bench/capture/run_capture_bench.sh            # about 1 GiB, 3 runs
#   VK_BENCH_MIB=64 VK_BENCH_RUNS=5 bash bench/capture/run_capture_bench.sh
#
# VK_BENCH_MIB sets the tree's size in MiB (the small files take about a tenth
# of it, scaled down with it); the tree is kept under build/bench between runs.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
source "$top/tools/environment.sh"
mib=${VK_BENCH_MIB:-1024}
runs=${VK_BENCH_RUNS:-3}
out="$top/build/bench/capture"
tree="$out/tree-$mib"
mkdir -p "$out"

built="$top/build/win/agent/vardokeep-agent.exe"
[ -f "$built" ] || { echo "build the MinGW tree first (tools/test.sh or cmake --build build/win)" >&2; exit 1; }
agent="$out/vardokeep-agent.exe"  # a copy, so that a rebuild cannot change it mid-run
cp "$built" "$agent"
ceiling="$out/read_ceiling.exe"
if [ ! -f "$ceiling" ] || [ "$top/bench/capture/read_ceiling.cpp" -nt "$ceiling" ]; then
  x86_64-w64-mingw32-g++-posix -std=c++20 -O2 -municode -static -o "$ceiling" "$top/bench/capture/read_ceiling.cpp"
fi

# Half compressible text, half random bytes.
write_file() {  # path bytes index
  if [ $(( $3 % 2 )) -eq 0 ]; then
    (yes "vardokeep benchmark line $3 with some repeated text to compress" || true) | head -c "$2" > "$1"
  else
    head -c "$2" /dev/urandom > "$1"
  fi
}
if [ ! -f "$tree/.complete" ]; then
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
fi
source_windows="Z:${tree//\//\\}"

export WINEPREFIX="$VARDOKEEP_WINEPREFIX"
bash "$top/tools/wine-prefix.sh"
cat "$tree"/large/* > /dev/null  # warm the page cache once

now() { date +%s.%N; }
elapsed() { awk -v a="$(now)" -v b="$1" 'BEGIN { print a - b }'; }
agent_times=() ceiling_times=() entry_times=()
for run in $(seq 1 "$runs"); do
  start=$(now)
  wine "$agent" check --source "$source_windows" --exclude .complete 2> "$out/agent.err" || { cat "$out/agent.err"; exit 1; }
  agent_times+=("$(elapsed "$start")")
  start=$(now)
  wine "$ceiling" "$source_windows" 2> "$out/ceiling.err"
  ceiling_times+=("$(elapsed "$start")")
  start=$(now)
  wine "$ceiling" "$source_windows" --entry-calls 2> /dev/null
  entry_times+=("$(elapsed "$start")")
done
wineserver -k 2>/dev/null || true

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
field() { sed -n "s/^$1=\([0-9]*\).*/\1/p" "$2" | tr -d '\r'; }
chunks=$(field chunks_checked "$out/agent.err")
files=$(field files "$out/agent.err")
bytes=$(field bytes "$out/ceiling.err")
[ "$chunks" = "$(field chunks "$out/ceiling.err")" ] || { echo "agent and ceiling disagree on chunks" >&2; exit 1; }
a=$(median "${agent_times[@]}")
c=$(median "${ceiling_times[@]}")
e=$(median "${entry_times[@]}")
report() {  # name seconds
  awk -v n="$1" -v s="$2" -v b="$bytes" -v k="$chunks" -v f="$files" \
    'BEGIN { printf "%-22s %7.2f s %8.1f MB/s %9.0f chunks/s %8.1f files/s\n", n, s, b / s / 1e6, k / s, f / s }'
}
echo "tree: $files files, $chunks chunks, $bytes bytes; median of $runs runs under Wine (wall clock, start-up included)"
report "agent check" "$a"
report "ceiling (per chunk)" "$c"
report "ceiling (+ per entry)" "$e"
awk -v a="$a" -v c="$c" -v e="$e" 'BEGIN {
  printf "ratio agent/ceiling (per-chunk calls): %.2f\n", c / a
  printf "ratio agent/ceiling (per-chunk and per-entry calls): %.2f\n", e / a }'
