#!/usr/bin/env bash
# Scale benchmark (figures, not a test; never in CI): `check` over trees of
# small files (0 to 20 KiB, a hundred per folder) of growing size, to see
# whether the time per entry stays constant and the memory flat.
#
#   bash bench/capture/run_scale_bench.sh      # 10,000, 100,000, 1,000,000 files
#   VK_SCALE_SIZES="10000 100000" VK_SCALE_DIR=/big/disk bash bench/capture/run_scale_bench.sh
#
# Per tree, under Wine: capture_profile.exe runs the agent's own check in
# process (time inside the process, peak working set, manifest size, the calls
# it made); up to VK_SCALE_CEILING_MAX files (default 100000) read_ceiling.exe
# --entry-calls walks the same tree making only the calls check must make, and
# the ratio ceiling/agent is printed. Natively, up to VK_SCALE_NATIVE_MAX files
# (default 100000: the substitute volume holds every byte in memory),
# native_scale_bench runs the portable core's check over the same tree.
#
# Trees are made under VK_SCALE_DIR (default build/bench/scale) and kept
# unless VK_SCALE_KEEP=0; a million files take about 10 GB. With
# VK_SCALE_MANIFESTS=DIR each manifest is also copied to DIR for comparison.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
source "$top/tools/environment.sh"
sizes=${VK_SCALE_SIZES:-10000 100000 1000000}
root=${VK_SCALE_DIR:-$top/build/bench/scale}
ceiling_max=${VK_SCALE_CEILING_MAX:-100000}
native_max=${VK_SCALE_NATIVE_MAX:-100000}
out="$top/build/bench/scale"
mkdir -p "$out" "$root"

b="$top/build/win"
[ -f "$b/agent/libvk_agent_logic.a" ] || { echo "build the MinGW tree first (tools/test.sh)" >&2; exit 1; }
g++ -std=c++20 -O2 -o "$out/make_small_tree" "$top/bench/capture/make_small_tree.cpp"
x86_64-w64-mingw32-g++-posix -std=c++20 -O2 -municode -static -o "$out/read_ceiling.exe" \
  "$top/bench/capture/read_ceiling.cpp"
x86_64-w64-mingw32-g++-posix -std=c++20 -O2 -municode -static -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN \
  -DNOMINMAX -D_WIN32_WINNT=0x0A00 -I"$top" -o "$out/capture_profile.exe" "$top/bench/capture/capture_profile.cpp" \
  -Wl,--start-group "$b/agent/libvk_agent_logic.a" "$b/agent/libvk_platform_win32.a" -Wl,--end-group \
  "$b/core/libvk_core.a" "$b/libvk_blake3.a" "$b/libvk_lz4.a" -lvssapi -lole32 -loleaut32 -lpsapi
# The portable core without sanitizers, optimised.
native="$top/build/bench-native"
cmake -S "$top" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVARDOKEEP_SANITIZE=OFF >/dev/null
cmake --build "$native" -j 2 --target vk_agent_logic vk_platform_substitute vk_core >/dev/null
g++ -std=c++20 -O2 -I"$top" -o "$out/native_scale_bench" "$top/bench/capture/native_scale_bench.cpp" \
  -Wl,--start-group "$native/agent/libvk_agent_logic.a" "$native/agent/libvk_platform_substitute.a" -Wl,--end-group \
  "$native/core/libvk_core.a" "$native/libvk_blake3.a" -llz4

export WINEPREFIX="$VARDOKEEP_WINEPREFIX"
bash "$top/tools/wine-prefix.sh"
wineserver -p  # resident, so that no run pays for starting it
wine cmd /c exit 2>/dev/null || true

field() { sed -n "s/^$1=\([0-9.]*\).*/\1/p" "$2" | tr -d '\r' | tail -n 1; }
per() {  # label seconds entries chunks
  awk -v l="$1" -v s="$2" -v e="$3" -v k="$4" 'BEGIN {
    printf "  %-32s %9.2f s %8.1f us/entry %8.1f us/chunk\n", l, s, 1e6 * s / e, 1e6 * s / k }'
}
mb() { awk -v b="$1" 'BEGIN { printf "%.1f MB", b / 1e6 }'; }
for n in $sizes; do
  tree="$root/tree-$n"
  if [ ! -f "$tree.complete" ]; then
    rm -rf "$tree"
    "$out/make_small_tree" "$tree" "$n"
    touch "$tree.complete"
  fi
  source_windows="Z:${tree//\//\\}"
  find "$tree" -type f -exec cat {} + > /dev/null  # the page cache, as far as it holds the tree
  copy=""
  if [ -n "${VK_SCALE_MANIFESTS:-}" ]; then copy="Z:${VK_SCALE_MANIFESTS//\//\\}\\wine-$n.manifest"; fi
  wine "$out/capture_profile.exe" "$source_windows" $copy 2> "$out/profile-$n.err" > /dev/null || { cat "$out/profile-$n.err"; exit 1; }
  f=$(field files "$out/profile-$n.err"); d=$(field directories "$out/profile-$n.err")
  k=$(field chunks_checked "$out/profile-$n.err"); m=$(field manifest_bytes "$out/profile-$n.err")
  entries=$((f + d))
  echo "tree of $n files: $entries entries ($f files, $d folders), $k chunks, manifest $m bytes"
  s=$(field seconds "$out/profile-$n.err")
  per "agent check under Wine" "$s" "$entries" "$k"
  echo "  peak working set $(mb "$(field peak_working_set "$out/profile-$n.err")")," \
    "peak private bytes $(mb "$(field peak_private "$out/profile-$n.err")"), manifest $(mb "$m")"
  if [ "$n" -le "$ceiling_max" ]; then
    wine "$out/read_ceiling.exe" "$source_windows" --entry-calls 2> "$out/ceiling-$n.err"
    c=$(field seconds "$out/ceiling-$n.err")
    per "ceiling with entry calls" "$c" "$entries" "$k"
    awk -v c="$c" -v s="$s" 'BEGIN { printf "  ratio ceiling/agent %.2f\n", c / s }'
  fi
  if [ "$n" -le "$native_max" ]; then
    ncopy=""
    if [ -n "${VK_SCALE_MANIFESTS:-}" ]; then ncopy="$VK_SCALE_MANIFESTS/native-$n.manifest"; fi
    "$out/native_scale_bench" "$tree" $ncopy 2> "$out/native-$n.err" || { cat "$out/native-$n.err"; exit 1; }
    per "portable core natively (wall)" "$(field seconds "$out/native-$n.err")" "$entries" "$k"
    echo "  natively: CPU $(field cpu_seconds "$out/native-$n.err") s; peak RSS rose by" \
      "$(field peak_rise_kib "$out/native-$n.err") KiB during check (the manifest, held by the substitute, included)"
  fi
  sed -n '/^call /,/^check in total/p' "$out/profile-$n.err" | sed 's/^/    /'
  if [ "${VK_SCALE_KEEP:-1}" = 0 ]; then rm -rf "$tree" "$tree.complete"; fi
done
wineserver -k 2>/dev/null || true
exit 0
