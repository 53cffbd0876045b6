#!/usr/bin/env bash
# LZ4's upstream C source for the MinGW build, from Debian's source package.
# Only lib/lz4.c and lib/lz4.h are used; the folder's old xxhash.h must never be
# put on an include path.
set -euo pipefail
top=$1
dest="$top/build/third_party"
if compgen -G "$dest/lz4-*/lib/lz4.c" >/dev/null; then exit 0; fi
if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
  src=/etc/apt/sources.list.d/debian.sources
  if [ -f "$src" ]; then
    sed 's/^Types: deb$/Types: deb-src/' "$src" > /etc/apt/sources.list.d/vardokeep-src.sources
  else
    grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' > /etc/apt/sources.list.d/vardokeep-src.list
  fi
  apt-get update -qq
fi
mkdir -p "$dest"
cd "$dest"
apt-get source --download-only -qq lz4 >/dev/null 2>&1
tarball=$(ls lz4_*.orig.tar.gz | head -n 1)
tar xzf "$tarball"
