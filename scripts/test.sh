#!/usr/bin/env bash
# Installs what is missing, builds every variant and runs the whole suite
# inside the private test network:
#   build/gcc    g++ with -Werror and the Release flags of the package: every
#                test, end-to-end and the package check included
#   build/asan   clang with -Wthread-safety -Werror, ASan+UBSan: unit and
#                network tests; also builds the libFuzzer targets
#   build/tsan   clang with ThreadSanitizer: unit and network tests
#   fuzz         every fuzz target for FUZZ_SECONDS (default 20) each
#   budget       ../shared/tools/test-budget where present: tests above
#                TEST_BUDGET_MAX (default 40) percent of the code fail
# Ends with one summary line: "N passed, M failed".
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
"$root/scripts/deps.sh"
# playwright-core (pinned) drives Debian's chromium in the page tests.
(cd "$root/tests/page" && npm ci --no-audit --no-fund --loglevel=error)

jobs="$(nproc)"
configure() {  # dir, extra cmake args...
  local dir="$1"; shift
  cmake -S "$root" -B "$root/build/$dir" -G Ninja -DTRC_WERROR=ON "$@" >/dev/null
}
configure gcc -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++
configure asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DTRC_SANITIZE=address,undefined -DTRC_FUZZ=ON
configure tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DTRC_SANITIZE=thread
for dir in gcc asan tsan; do
  echo "== build $dir"
  cmake --build "build/$dir" -j "$jobs"
done

exec "$root/scripts/netns.sh" "$root/scripts/test-inside.sh"
