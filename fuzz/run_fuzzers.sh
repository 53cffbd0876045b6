#!/usr/bin/env bash
# Runs every *_fuzzer in the fuzz build directory for a bounded time over its
# seed corpus (VARDOKEEP_FUZZ_SECONDS each, 60 by default). Any crash, leak or
# sanitizer report ends libFuzzer with a non-zero status, and so this script.
set -euo pipefail
build=$1
seconds=${VARDOKEEP_FUZZ_SECONDS:-60}
cd "$build"
rm -rf seeds
./fuzz_seed_corpus seeds
status=0
for fuzzer in ./*_fuzzer; do
  name=$(basename "$fuzzer")
  mkdir -p "corpus/$name" "artifacts/$name"
  flags=()
  # A refused session is one line of the server's on standard error; its
  # fuzzer reports findings through a copy taken before this closes it.
  if [ "$name" = receive_session_fuzzer ]; then flags=(-close_fd_mask=2); fi
  echo "== $name: $seconds s"
  if ! "$fuzzer" "${flags[@]}" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="artifacts/$name/" "corpus/$name" "seeds/$name" 2>"$name.log"; then
    tail -n 60 "$name.log"
    status=1
  else
    grep -E '^stat::number_of_executed_units|^Done' "$name.log" || true
  fi
done
exit $status
