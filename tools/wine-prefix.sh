#!/usr/bin/env bash
# Creates the test Wine prefix once (about 6 s); later runs reuse it.
set -euo pipefail
source "$(dirname "$0")/environment.sh"
if [ ! -f "$VARDOKEEP_WINEPREFIX/system.reg" ]; then
  WINEPREFIX="$VARDOKEEP_WINEPREFIX" wineboot -i >/dev/null 2>&1
  WINEPREFIX="$VARDOKEEP_WINEPREFIX" wineserver -w
fi
