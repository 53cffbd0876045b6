#!/usr/bin/env bash
# Backup benchmark (figures, not a test; never in CI). On the capture
# benchmark's generated tree it measures, medians of VK_BENCH_RUNS runs:
#   1. under Wine, `vardokeep-agent backup --stdio` joined to the reference
#      server: first run (all chunks new, fresh store) and a forced re-read
#      (all chunks known, same store), beside backup_ceiling.exe, a minimal
#      protocol client that makes only the per-chunk and per-batch calls of a
#      backup, against the same server;
#   2. Debian's restic into a local repository, first run and --force, with
#      GOMAXPROCS=1 and with the default;
#   3. natively, the portable core over the substitute volume against the
#      server through pipes, beside a loop of only the mandated per-chunk work.
#
#   bash bench/transfer/run_backup_bench.sh             # about 1 GiB, 3 runs
#   VK_BENCH_MIB=64 VK_BENCH_RUNS=5 bash bench/transfer/run_backup_bench.sh
#
# The agent under Wine is timed two ways: the wall clock of the pipeline and,
# through backup_profile.exe (the agent's own entry, linked from the same
# libraries), the time inside the process, with a table of its calls in which
# the time spent waiting for the server stands apart. The ceiling times itself
# inside its process. restic runs natively; under Wine a 4 KiB ReadFile alone costs tens
# of microseconds, so the agent/ceiling ratio is the meaningful one.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
source "$top/tools/environment.sh"
mib=${VK_BENCH_MIB:-1024}
runs=${VK_BENCH_RUNS:-3}
out="$top/build/bench/transfer"
tree="$top/build/bench/capture/tree-$mib"  # shared with the capture benchmark
mkdir -p "$out"
command -v restic >/dev/null || bash "$(dirname "$0")/install-restic.sh"

b="$top/build/win"
[ -f "$b/agent/libvk_agent_logic.a" ] || { echo "build the MinGW tree first (tools/test.sh)" >&2; exit 1; }
# The server and the native core without sanitizers, optimised.
native="$top/build/bench-native"
cmake -S "$top" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVARDOKEEP_SANITIZE=OFF >/dev/null
cmake --build "$native" -j 2 --target vardokeep-refserver vk_agent_logic vk_platform_substitute vk_core >/dev/null
server="$out/vardokeep-refserver"
cp "$native/server/vardokeep-refserver" "$server"

blake3_dir=/usr/share/cargo/registry/blake3-1.3.1/c
mingw="x86_64-w64-mingw32-g++-posix -std=c++20 -O2 -municode -static -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN
  -DNOMINMAX -D_WIN32_WINNT=0x0A00 -DXXH_INLINE_ALL -I$top -I$b/xxhash_include -I$b/lz4_include -I$blake3_dir"
$mingw -o "$out/backup_ceiling.exe" "$top/bench/transfer/backup_ceiling.cpp" "$b/libvk_blake3.a" "$b/libvk_lz4.a"
$mingw -o "$out/backup_profile.exe" "$top/bench/transfer/backup_profile.cpp" \
  -Wl,--start-group "$b/agent/libvk_agent_logic.a" "$b/agent/libvk_platform_win32.a" -Wl,--end-group \
  "$b/core/libvk_core.a" "$b/libvk_blake3.a" "$b/libvk_lz4.a" -lvssapi -lole32 -loleaut32 -lpsapi
cp "$b/agent/vardokeep-agent.exe" "$out/vardokeep-agent.exe"
g++ -std=c++20 -O2 -DXXH_INLINE_ALL -I"$top" -I"$blake3_dir" -o "$out/native_backup_bench" \
  "$top/bench/transfer/native_backup_bench.cpp" \
  -Wl,--start-group "$native/agent/libvk_agent_logic.a" "$native/agent/libvk_platform_substitute.a" -Wl,--end-group \
  "$native/core/libvk_core.a" "$native/libvk_blake3.a" -llz4

bash "$top/bench/make_tree.sh" "$tree" "$mib"
source_windows="Z:${tree//\//\\}"
bytes=$(find "$tree" -type f ! -name .complete -printf '%s\n' | awk '{ s += $1 } END { print s }')
files=$(find "$tree" -type f ! -name .complete | wc -l)

export WINEPREFIX="$VARDOKEEP_WINEPREFIX"
bash "$top/tools/wine-prefix.sh"
# A resident wineserver, so that no run pays for starting it.
wineserver -p
wine cmd /c exit 2>/dev/null || true
find "$tree" -type f -exec cat {} + > /dev/null  # warm the page cache once

now() { date +%s.%N; }
elapsed() { awk -v a="$(now)" -v b="$1" 'BEGIN { print a - b }'; }
field() { sed -n "s/^$1=\([0-9.]*\).*/\1/p" "$2" | tr -d '\r' | tail -n 1; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# One program under Wine with its standard output and input joined to a
# server on the store; its standard error goes to $out/$2.err.
joined() {  # exe err-name store [arguments...]
  local exe=$1 name=$2 store=$3
  shift 3
  rm -f "$out/answers"
  mkfifo "$out/answers"
  wine "$exe" "$@" < "$out/answers" 2> "$out/$name.err" | "$server" receive --store "$store" > "$out/answers" \
    2> "$out/$name.server.err" || true
}

declare -a a_first_wall a_first_in a_known_wall a_known_in c_first c_known e_first e_known check_in
for run in $(seq 1 "$runs"); do
  # check makes the same walk and chunking without a server: capture's share.
  wine "$out/backup_profile.exe" check --source "$source_windows" --exclude .complete 2> "$out/check.err"
  check_in+=("$(field seconds "$out/check.err")")
  for kind in agent ceiling entry; do
    store="$out/store-$kind"
    rm -rf "$store" "$store-wall"
    for phase in first known; do
      if [ $kind = agent ]; then
        start=$(now)
        joined "$out/vardokeep-agent.exe" "agent-$phase" "$store-wall" backup --source "$source_windows" --stdio \
          --exclude .complete
        wall=$(elapsed "$start")
        grep -q '^snapshot=' "$out/agent-$phase.err" || { cat "$out/agent-$phase.err" "$out/agent-$phase.server.err"; exit 1; }
        joined "$out/backup_profile.exe" "profile-$phase" "$store" backup --source "$source_windows" --stdio \
          --exclude .complete
        grep -q '^snapshot=' "$out/profile-$phase.err" || { cat "$out/profile-$phase.err"; exit 1; }
        inside=$(field seconds "$out/profile-$phase.err")
        if [ $phase = first ]; then a_first_wall+=("$wall"); a_first_in+=("$inside"); else a_known_wall+=("$wall"); a_known_in+=("$inside"); fi
      elif [ $kind = ceiling ]; then
        joined "$out/backup_ceiling.exe" "ceiling-$phase" "$store" "$source_windows"
        inside=$(field seconds "$out/ceiling-$phase.err")
        [ -n "$inside" ] || { cat "$out/ceiling-$phase.err"; exit 1; }
        if [ $phase = first ]; then c_first+=("$inside"); else c_known+=("$inside"); fi
      else
        joined "$out/backup_ceiling.exe" "entry-$phase" "$store" "$source_windows" --entry-calls
        inside=$(field seconds "$out/entry-$phase.err")
        [ -n "$inside" ] || { cat "$out/entry-$phase.err"; exit 1; }
        if [ $phase = first ]; then e_first+=("$inside"); else e_known+=("$inside"); fi
      fi
    done
    rm -rf "$store" "$store-wall"
  done
done
wineserver -k 2>/dev/null || true
[ "$(field chunks_checked "$out/agent-first.err")" = "$(field chunks "$out/ceiling-first.err")" ] ||
  { echo "agent and ceiling disagree on chunks" >&2; exit 1; }
chunks=$(field chunks "$out/ceiling-first.err")
first_sent=$(field chunk_bytes_sent "$out/agent-first.err")
first_wire=$(field chunk_wire_bytes_sent "$out/agent-first.err")

# restic, natively, into a fresh local repository per first run.
export RESTIC_PASSWORD=vardokeep-bench
declare -a r1_first r1_known rd_first rd_known
for run in $(seq 1 "$runs"); do
  for procs in 1 default; do
    repo="$out/restic-repo"
    rm -rf "$repo" "$out/restic-cache"
    restic init --repo "$repo" --cache-dir "$out/restic-cache" -q >/dev/null
    for phase in first known; do
      flags=(); [ $phase = known ] && flags=(--force)
      start=$(now)
      if [ $procs = 1 ]; then
        GOMAXPROCS=1 restic backup --repo "$repo" --cache-dir "$out/restic-cache" -q --exclude .complete "${flags[@]}" "$tree" >/dev/null
      else
        restic backup --repo "$repo" --cache-dir "$out/restic-cache" -q --exclude .complete "${flags[@]}" "$tree" >/dev/null
      fi
      t=$(elapsed "$start")
      case "$procs-$phase" in
        1-first) r1_first+=("$t") ;; 1-known) r1_known+=("$t") ;;
        default-first) rd_first+=("$t") ;; default-known) rd_known+=("$t") ;;
      esac
    done
  done
done
rm -rf "$out/restic-repo" "$out/restic-cache"

line() {  # name seconds
  awk -v n="$1" -v s="$2" -v b="$bytes" -v f="$files" -v k="$chunks" 'BEGIN {
    printf "%-40s %8.2f s %8.1f MB/s %9.1f files/s %9.0f chunks/s\n", n, s, b / s / 1e6, f / s, k / s }'
}
afw=$(median "${a_first_wall[@]}"); afi=$(median "${a_first_in[@]}")
akw=$(median "${a_known_wall[@]}"); aki=$(median "${a_known_in[@]}")
cf=$(median "${c_first[@]}"); ck=$(median "${c_known[@]}")
ef=$(median "${e_first[@]}"); ek=$(median "${e_known[@]}")
ci=$(median "${check_in[@]}")
r1f=$(median "${r1_first[@]}"); r1k=$(median "${r1_known[@]}")
rdf=$(median "${rd_first[@]}"); rdk=$(median "${rd_known[@]}")
echo "tree: $files files, $chunks chunks, $bytes bytes (first run sends $first_sent bytes as $first_wire on the wire); medians of $runs runs"
line "agent check under Wine (in process)" "$ci"
line "agent under Wine, first run (wall)" "$afw"
line "agent under Wine, first run (in process)" "$afi"
line "ceiling under Wine, first run" "$cf"
line "ceiling + entry calls, first run" "$ef"
line "agent under Wine, all known (wall)" "$akw"
line "agent under Wine, all known (in process)" "$aki"
line "ceiling under Wine, all known" "$ck"
line "ceiling + entry calls, all known" "$ek"
line "restic GOMAXPROCS=1, first run" "$r1f"
line "restic GOMAXPROCS=1, --force" "$r1k"
line "restic default, first run" "$rdf"
line "restic default, --force" "$rdk"
awk -v afw="$afw" -v afi="$afi" -v akw="$akw" -v aki="$aki" -v cf="$cf" -v ck="$ck" -v ef="$ef" -v ek="$ek" \
    -v r1f="$r1f" -v r1k="$r1k" -v rdf="$rdf" -v rdk="$rdk" 'BEGIN {
  printf "speed ratio agent/ceiling, per-chunk calls (in process):       first run %.2f, all known %.2f\n", cf / afi, ck / aki
  printf "speed ratio agent/ceiling, per-chunk + entry calls (in process): first run %.2f, all known %.2f\n", ef / afi, ek / aki
  printf "speed ratio agent/restic GOMAXPROCS=1 (wall): first run %.2f (goal 1.5), --force %.2f (goal 1.0)\n", r1f / afw, r1k / akw
  printf "speed ratio agent/restic default (wall):      first run %.2f, --force %.2f\n", rdf / afw, rdk / akw }'
for phase in first known; do
  echo "the agent's backup call by call, $phase run (last of the runs; the reads of the server's answers are"
  echo "the time spent waiting for the server):"
  sed -n '/^call /,/^run in total/p' "$out/profile-$phase.err" | tr -d '\r' | sed 's/^/  /'
done
echo
"$out/native_backup_bench" "$tree" "$server" "$out" "$runs"
rm -rf "$out"/first-*
