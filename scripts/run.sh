#!/usr/bin/env bash
# Installs what is missing, builds a Release binary and starts the program.
# Arguments are passed to the program (for example --console).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh"
cmake -S "$root" -B "$root/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRC_TESTS=OFF >/dev/null
cmake --build "$root/build/release" --target tolvarine-redundancy-control
exec "$root/build/release/tolvarine-redundancy-control" "$@"
