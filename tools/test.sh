#!/usr/bin/env bash
# The test command: installs what is missing, builds both trees, and runs every
# test layer (native, Wine, Pester, Xvfb, end to end, fuzz) through ctest.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
if [ "$(id -u)" = 0 ]; then
  bash tools/bootstrap.sh
else
  sudo bash tools/bootstrap.sh
fi
source tools/environment.sh

jobs=${VARDOKEEP_JOBS:-2}
# A compiler cache, where one is installed, makes rebuilds of other checkouts cheap.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build/win -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" "${launcher[@]}" >/dev/null
cmake --build build/win -j "$jobs"
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DVARDOKEEP_WIN_BUILD_DIR="$top/build/win" "${launcher[@]}" >/dev/null
cmake --build build/native -j "$jobs"

bash tools/wine-prefix.sh
status=0
ctest --test-dir build/native --output-on-failure -j "$jobs" "$@" || status=$?
WINEPREFIX="$VARDOKEEP_WINEPREFIX" wineserver -k 2>/dev/null || true
exit $status
