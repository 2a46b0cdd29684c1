#!/usr/bin/env bash
# Builds and runs the test suite three times: a normal build, an AddressSanitizer +
# UndefinedBehaviorSanitizer build, and a ThreadSanitizer build; then runs each fuzz target for a
# short while (scripts/fuzz.sh, ORN_FUZZ_SECONDS per target, default 15).
# Pass --quick to run only the normal build.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="$(nproc)"

run_suite() {  # build-dir sanitizer ctest-args...
  local dir="$1" san="$2"; shift 2
  echo "=== build ${dir} (sanitizer: ${san:-none}) ==="
  cmake -S . -B "${dir}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORN_SANITIZE="${san}" >/dev/null
  cmake --build "${dir}" -j"${jobs}"
  ctest --test-dir "${dir}" --output-on-failure -j"${jobs}" "$@"
}

run_suite build ""
if [ "${1:-}" != "--quick" ]; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite build-asan address
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    run_suite build-tsan thread
  echo "=== fuzz targets (${ORN_FUZZ_SECONDS:-15} s each) ==="
  scripts/fuzz.sh "${ORN_FUZZ_SECONDS:-15}"
fi
