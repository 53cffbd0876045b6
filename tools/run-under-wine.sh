#!/usr/bin/env bash
# Runs one gtest program of the MinGW tree under the test prefix; its exit code
# is the result. A program that ends without gtest's closing summary died
# rather than failed (seen once in a full run: a death-test parent gone
# mid-run under Wine, not reproducible in 55 runs alone or under load); it is
# run once more and says so, so that a real failure, which prints the summary
# or dies again, still fails.
set -uo pipefail
source "$(dirname "$0")/environment.sh"
bash "$(dirname "$0")/wine-prefix.sh" || exit 1
output=$(mktemp)
trap 'rm -f "$output"' EXIT
for attempt in 1 2; do
  WINEPREFIX="$VARDOKEEP_WINEPREFIX" wine "$@" 2>&1 | tee "$output"
  status=${PIPESTATUS[0]}
  if [ "$status" = 0 ] || grep -qE '^\[  (PASSED|FAILED)  \]' "$output"; then exit "$status"; fi
  echo "run-under-wine: $1 ended with $status and no gtest summary (the program died under Wine)" >&2
  [ "$attempt" = 1 ] && echo "run-under-wine: running it once more" >&2
done
exit "$status"
