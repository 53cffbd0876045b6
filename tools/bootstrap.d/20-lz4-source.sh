#!/usr/bin/env bash
# LZ4's upstream C source for the MinGW build, from Debian's source package.
# Only lib/lz4.c and lib/lz4.h are used; the folder's old xxhash.h must never be
# put on an include path.
set -euo pipefail
top=$1
bash "$top/tools/fetch-source-package.sh" lz4 "$top/build/third_party" lz4-source
