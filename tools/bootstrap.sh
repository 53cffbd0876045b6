#!/usr/bin/env bash
# Installs everything a fresh Debian 12 machine lacks to build and test Vardokeep.
# Idempotent: a second run finds everything in place and changes nothing.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
export DEBIAN_FRONTEND=noninteractive
for step in "$top"/tools/bootstrap.d/*.sh; do
  bash "$step" "$top"
done
