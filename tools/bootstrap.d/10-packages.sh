#!/usr/bin/env bash
# Debian packages for both toolchains, Wine, the dependencies and the test layers.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-tools
  wine64 wine xvfb xauth x11-apps imagemagick
  libxxhash-dev liblz4-dev librust-blake3-dev googletest
  openssh-server openssh-client dpkg-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
