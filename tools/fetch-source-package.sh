#!/usr/bin/env bash
# Unpacks the upstream tarball of a Debian source package into DEST/FOLDER
# (idempotent): fetch-source-package.sh PACKAGE DEST FOLDER
# Source entries are added to apt's lists beside the binary ones when missing.
set -euo pipefail
package=$1 dest=$2 folder=$3
[ -d "$dest/$folder" ] && exit 0
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
apt-get source --download-only -qq "$package" >/dev/null 2>&1
tarball=$(ls "${package}"_*.orig.tar.* | head -n 1)
# Upstream top folders are spelt variously ("xxHash-0.8.1"); give it a fixed name.
rm -rf "$folder.tmp"
mkdir "$folder.tmp"
tar xf "$tarball" -C "$folder.tmp" --strip-components=1
mv "$folder.tmp" "$folder"
