#!/usr/bin/env bash
# The test runs proper; scripts/test.sh calls it inside the private network.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
fuzz_seconds="${FUZZ_SECONDS:-20}"
passed=0
failed=0
logs="$root/build/test-logs"
mkdir -p "$logs"

run_ctest() {  # name, build dir, extra ctest args...
  local name="$1" dir="$2"; shift 2
  echo "== tests: $name"
  local log="$logs/$name.log"
  ( cd "build/$dir" && ctest --output-on-failure --timeout 300 "$@" ) 2>&1 | tee "$log" | grep -E '^(.*\*\*\*|[0-9]+% tests passed|The following|[[:space:]]+[0-9]+ - )' || true
  local line total bad
  line="$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)"
  if [[ -z "$line" ]]; then
    echo "   (no result line; counted as one failure, see $log)"
    failed=$((failed + 1))
    return
  fi
  bad="$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")"
  total="$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")"
  passed=$((passed + total - bad))
  failed=$((failed + bad))
}

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

run_ctest gcc gcc -j 2
run_ctest asan asan -j 2 -LE e2e
# ThreadSanitizer needs a narrower address-space layout than this kernel's
# default randomisation allows; setarch -R turns randomisation off.
run_ctest tsan tsan -j 2 -LE e2e

echo "== fuzz (${fuzz_seconds}s each)"
for target in build/asan/*_fuzz; do
  [[ -x "$target" ]] || continue
  name="$(basename "$target")"
  corpus="$root/build/fuzz-corpus/$name"
  mkdir -p "$corpus"
  seeds=()
  [[ -d "$root/fuzz/corpus/$name" ]] && seeds=("$root/fuzz/corpus/$name")
  if "$target" -max_total_time="$fuzz_seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
       -artifact_prefix="$logs/$name-" "$corpus" "${seeds[@]}" >"$logs/$name.log" 2>&1; then
    echo "   $name: ok ($(grep -Eo 'stat::number_of_executed_units: [0-9]+' "$logs/$name.log" | awk '{print $2}' || echo '?') runs)"
    passed=$((passed + 1))
  else
    echo "   $name: FAILED (see $logs/$name.log)"
    tail -n 30 "$logs/$name.log"
    failed=$((failed + 1))
  fi
done

# Test lines against code lines, as ../shared/tools/test-budget counts them
# (where that checkout is present): above TEST_BUDGET_MAX percent is a failure.
echo "== test budget"
budget="$root/../shared/tools/test-budget"
if [[ -x "$budget" ]]; then
  if line="$(TEST_BUDGET_MAX="${TEST_BUDGET_MAX:-40}" "$budget" "$root" 2>&1)"; then
    echo "   $line"
    passed=$((passed + 1))
  else
    echo "   $line: FAILED"
    failed=$((failed + 1))
  fi
else
  echo "   test budget check skipped: $budget not found"
fi

echo "$passed passed, $failed failed"
[[ "$failed" -eq 0 ]]
