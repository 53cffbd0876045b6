#!/usr/bin/env bash
# The main job: build the agent and capture a sample tree with it under Wine,
# printing the run summary.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
if [ "$(id -u)" = 0 ]; then bash tools/bootstrap.sh; else sudo bash tools/bootstrap.sh; fi
source tools/environment.sh
cmake -S . -B build/win -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build build/win -j 2 --target vardokeep-agent >/dev/null
bash tools/wine-prefix.sh

sample="$top/build/sample-tree"
rm -rf "$sample"
mkdir -p "$sample/documentos/relatórios" "$sample/vazio"
printf 'Olá, Vardokeep!\n' > "$sample/leia-me.txt"
head -c 10000 /dev/urandom > "$sample/documentos/dados.bin"
seq 1 20000 > "$sample/documentos/relatórios/números.txt"
: > "$sample/documentos/vazio.txt"

echo "vardokeep-agent check --source $sample"
status=0
WINEPREFIX="$VARDOKEEP_WINEPREFIX" wine build/win/agent/vardokeep-agent.exe check \
  --source "Z:${sample//\//\\}" || status=$?
WINEPREFIX="$VARDOKEEP_WINEPREFIX" wineserver -k 2>/dev/null || true
exit $status
