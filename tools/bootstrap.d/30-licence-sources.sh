#!/usr/bin/env bash
# xxHash's verbatim LICENSE for the setup program's package, from Debian's
# source package (Debian's copyright file is not the verbatim text). LZ4's
# lib/LICENSE comes with the lz4 source that 20-lz4-source.sh unpacks; the
# Apache-2.0 and CC0-1.0 texts are in /usr/share/common-licenses.
set -euo pipefail
top=$1
dest="$top/build/third_party"
if compgen -G "$dest/xxhash-source/LICENSE" >/dev/null; then exit 0; fi
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
apt-get source --download-only -qq xxhash >/dev/null 2>&1
tarball=$(ls xxhash_*.orig.tar.* | head -n 1)
# The tarball's top folder is spelt "xxHash-<version>"; give it a fixed name.
rm -rf xxhash-source.tmp
mkdir xxhash-source.tmp
tar xf "$tarball" -C xxhash-source.tmp --strip-components=1
mv xxhash-source.tmp xxhash-source
