#!/usr/bin/env bash
# The main job: build the agent and the reference server, back up a sample tree
# under Wine to the server (the agent's --stdio joined to `receive`), print the
# snapshot name and the run summary, then restore the snapshot and verify it
# against the tree, byte for byte.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
if [ "$(id -u)" = 0 ]; then bash tools/bootstrap.sh; else sudo bash tools/bootstrap.sh; fi
source tools/environment.sh
cmake -S . -B build/win -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build build/win -j 2 --target vardokeep-agent >/dev/null
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DVARDOKEEP_WIN_BUILD_DIR="$top/build/win" >/dev/null
cmake --build build/native -j 2 --target vardokeep-refserver >/dev/null
bash tools/wine-prefix.sh
agent=build/win/agent/vardokeep-agent.exe
server=build/native/server/vardokeep-refserver

work="$top/build/main-job"
sample="$work/sample-tree"
store="$work/store"
restored="$work/restored"
rm -rf "$work"
mkdir -p "$sample/documentos/relatórios" "$sample/vazio"
printf 'Olá, Vardokeep!\n' > "$sample/leia-me.txt"
head -c 10000 /dev/urandom > "$sample/documentos/dados.bin"
seq 1 20000 > "$sample/documentos/relatórios/números.txt"
head -c 65537 /dev/zero > "$sample/documentos/zeros.img"
: > "$sample/documentos/vazio.txt"

finish() { WINEPREFIX="$VARDOKEEP_WINEPREFIX" wineserver -k 2>/dev/null || true; }
trap finish EXIT

# The agent's standard output and input are the channel; its reports (the
# snapshot line and the summary) go to standard error, here the terminal.
echo "vardokeep-agent backup --source $sample --stdio  <->  vardokeep-refserver receive --store $store"
mkfifo "$work/answers"
status=0
WINEPREFIX="$VARDOKEEP_WINEPREFIX" wine "$agent" backup --source "Z:${sample//\//\\}" --stdio \
  < "$work/answers" | "$server" receive --store "$store" > "$work/answers" || status=$?
if [ $status -ne 0 ]; then
  echo "backup failed" >&2
  exit $status
fi

snapshot=$("$server" list --store "$store" | tail -n 1)
echo "vardokeep-refserver restore --snapshot $snapshot --target $restored"
"$server" restore --store "$store" --snapshot "$snapshot" --target "$restored"
"$server" verify --store "$store" --snapshot "$snapshot" --tree "$sample"
diff -r "$sample" "$restored"
echo "restored tree equals the sample tree byte for byte"
