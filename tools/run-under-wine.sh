#!/usr/bin/env bash
# Runs one Windows program of the MinGW tree under the test prefix; its exit code
# is the result.
set -euo pipefail
source "$(dirname "$0")/environment.sh"
bash "$(dirname "$0")/wine-prefix.sh"
WINEPREFIX="$VARDOKEEP_WINEPREFIX" exec wine "$@"
