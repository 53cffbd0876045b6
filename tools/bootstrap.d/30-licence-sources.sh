#!/usr/bin/env bash
# xxHash's verbatim LICENSE for the setup program's package, from Debian's
# source package (Debian's copyright file is not the verbatim text). LZ4's
# lib/LICENSE comes with the lz4 source that 20-lz4-source.sh unpacks; the
# Apache-2.0 and CC0-1.0 texts are in /usr/share/common-licenses.
set -euo pipefail
top=$1
bash "$top/tools/fetch-source-package.sh" xxhash "$top/build/third_party" xxhash-source
