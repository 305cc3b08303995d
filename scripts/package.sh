#!/usr/bin/env bash
# Installs what is missing and builds the Debian package into build/package:
#   build/package/tolvarine-redundancy-control_<version>_amd64.deb
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh"
cmake -S "$root" -B "$root/build/package" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX=/usr -DTRC_TESTS=OFF >/dev/null
cmake --build "$root/build/package" --target package
ls "$root"/build/package/*.deb
