#!/usr/bin/env bash
# Capture benchmark (figures, not a test; never in CI). Generates a tree, then
# under Wine times `vardokeep-agent check` against read_ceiling.exe, which
# makes only the calls check must make per chunk, over the same files.
#
#   bash bench/capture/run_capture_bench.sh            # about 1 GiB, 3 runs
#   VK_BENCH_MIB=64 VK_BENCH_RUNS=5 bash bench/capture/run_capture_bench.sh
#   VK_BENCH_PROFILE=1 ...   # also: where check spends its time, call by call
#
# Two measures, both medians: the wall clock of each process (start-up and
# exit included; very noisy on a loaded machine), and the time inside the
# process from the first call to the last (the ceiling times itself;
# capture_profile.exe runs the agent's own check, linked from the same
# libraries, with the capture calls counted). The ratio is ceiling / agent.
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
x86_64-w64-mingw32-g++-posix -std=c++20 -O2 -municode -static -o "$ceiling" "$top/bench/capture/read_ceiling.cpp"
profile="$out/capture_profile.exe"
b="$top/build/win"
x86_64-w64-mingw32-g++-posix -std=c++20 -O2 -municode -static -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN \
  -DNOMINMAX -D_WIN32_WINNT=0x0A00 -I"$top" -o "$profile" "$top/bench/capture/capture_profile.cpp" \
  -Wl,--start-group "$b/agent/libvk_agent_logic.a" "$b/agent/libvk_platform_win32.a" -Wl,--end-group \
  "$b/core/libvk_core.a" "$b/libvk_blake3.a" "$b/libvk_lz4.a" -lvssapi -lole32 -loleaut32 -lpsapi

bash "$top/bench/make_tree.sh" "$tree" "$mib"
source_windows="Z:${tree//\//\\}"

export WINEPREFIX="$VARDOKEEP_WINEPREFIX"
bash "$top/tools/wine-prefix.sh"
cat "$tree"/large/* > /dev/null  # warm the page cache once

now() { date +%s.%N; }
elapsed() { awk -v a="$(now)" -v b="$1" 'BEGIN { print a - b }'; }
field() { sed -n "s/^$1=\([0-9.]*\).*/\1/p" "$2" | tr -d '\r'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
declare -a wall_agent wall_ceiling wall_entry in_agent in_ceiling in_entry
for run in $(seq 1 "$runs"); do
  start=$(now)
  wine "$agent" check --source "$source_windows" --exclude .complete 2> "$out/agent.err" || { cat "$out/agent.err"; exit 1; }
  wall_agent+=("$(elapsed "$start")")
  start=$(now)
  wine "$ceiling" "$source_windows" 2> "$out/ceiling.err"
  wall_ceiling+=("$(elapsed "$start")")
  in_ceiling+=("$(field seconds "$out/ceiling.err")")
  start=$(now)
  wine "$ceiling" "$source_windows" --entry-calls 2> "$out/entry.err"
  wall_entry+=("$(elapsed "$start")")
  in_entry+=("$(field seconds "$out/entry.err")")
  wine "$profile" "$source_windows" 2> "$out/profile.err" > /dev/null
  in_agent+=("$(field seconds "$out/profile.err")")
done
wineserver -k 2>/dev/null || true

# The tree as check counts it (.complete, the generator's marker, is excluded).
chunks=$(field chunks_checked "$out/agent.err")
files=$(field files "$out/agent.err")
bytes=$(field bytes "$out/ceiling.err")
[ "$chunks" = "$(field chunks "$out/ceiling.err")" ] || { echo "agent and ceiling disagree on chunks" >&2; exit 1; }
report() {  # name wall in-process
  awk -v n="$1" -v w="$2" -v s="$3" -v b="$bytes" -v k="$chunks" -v f="$files" 'BEGIN {
    printf "%-22s wall %6.2f s | in process %6.2f s %7.1f MB/s %8.0f chunks/s %7.1f files/s\n",
      n, w, s, b / s / 1e6, k / s, f / s }'
}
aw=$(median "${wall_agent[@]}"); ai=$(median "${in_agent[@]}")
cw=$(median "${wall_ceiling[@]}"); ci=$(median "${in_ceiling[@]}")
ew=$(median "${wall_entry[@]}"); ei=$(median "${in_entry[@]}")
echo "tree: $files files, $chunks chunks, $bytes bytes; medians of $runs runs under Wine"
report "agent check" "$aw" "$ai"
report "ceiling (per chunk)" "$cw" "$ci"
report "ceiling (+ per entry)" "$ew" "$ei"
awk -v aw="$aw" -v ai="$ai" -v cw="$cw" -v ci="$ci" -v ew="$ew" -v ei="$ei" 'BEGIN {
  printf "ratio agent/ceiling, per-chunk calls:         in process %.2f, wall %.2f\n", ci / ai, cw / aw
  printf "ratio agent/ceiling, per-chunk and per-entry: in process %.2f, wall %.2f\n", ei / ai, ew / aw }'
if [ "${VK_BENCH_PROFILE:-0}" = 1 ]; then sed -n '/^call /,/^check in total/p' "$out/profile.err"; fi
exit 0
