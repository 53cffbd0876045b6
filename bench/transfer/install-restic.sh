#!/usr/bin/env bash
# restic, the yardstick of the backup benchmark (bench/transfer); no test needs it.
set -euo pipefail
if ! dpkg-query -W -f='${Status}' restic 2>/dev/null | grep -q "install ok installed"; then
  apt-get install -y -qq restic >/dev/null 2>&1 || { apt-get update -qq && apt-get install -y -qq restic >/dev/null; }
fi
