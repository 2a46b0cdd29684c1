#!/usr/bin/env bash
# Builds and runs the test suite three times: a normal build, an AddressSanitizer +
# UndefinedBehaviorSanitizer build, and a ThreadSanitizer build. After each suite comes the
# fault soak (ctest -C Soak -L soak), minutes long; ORN_SOAK_SECONDS sets its fault phase. Then
# each fuzz target runs for a short while (scripts/fuzz.sh, ORN_FUZZ_SECONDS per target,
# default 15).
# After the normal build's suite, scripts/test-install.sh installs it into a temporary prefix and
# builds and runs a small application against the installed copy, and scripts/test-bindings.sh
# builds the .NET and Python bindings and runs their tests against the simulator;
# scripts/test-browser.sh then drives the simulator's page in headless Chromium.
# After the normal build comes the Windows stage (scripts/test-windows.sh: the DLL cross-built,
# its tests under Wine); set ORN_SKIP_WINDOWS=1 to leave it out.
# After the normal build, scripts/check-thread-safety.sh compiles the library with clang's
# thread-safety analysis (a build only, a few minutes at most).
# Pass --quick to run only the normal build (with the Windows stage), without the soak and the
# fuzzing.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="$(nproc)"
quick=false
[ "${1:-}" = "--quick" ] && quick=true

run_suite() {  # build-dir sanitizer soak-seconds
  local dir="$1" san="$2" soak="$3"
  echo "=== build ${dir} (sanitizer: ${san:-none}) ==="
  cmake -S . -B "${dir}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORN_SANITIZE="${san}" >/dev/null
  cmake --build "${dir}" -j"${jobs}"
  ctest --test-dir "${dir}" --output-on-failure -j"${jobs}"
  if [ "${quick}" = false ]; then
    echo "=== fault soak ${dir} ==="
    ORN_SOAK_SECONDS="${ORN_SOAK_SECONDS:-${soak}}" \
      ctest --test-dir "${dir}" --output-on-failure -V -C Soak -L soak
  fi
}

run_suite build "" 120
echo "=== thread-safety analysis (clang) ==="
scripts/check-thread-safety.sh build-tsa
scripts/test-install.sh build
echo "=== bindings (.NET under Mono, Python) ==="
scripts/test-bindings.sh build
echo "=== browser (ornsim's page in headless Chromium) ==="
scripts/test-browser.sh build
if [ -z "${ORN_SKIP_WINDOWS:-}" ]; then
  if ! command -v i686-w64-mingw32-g++-posix >/dev/null || ! command -v wine >/dev/null; then
    echo "The Windows stage needs the mingw-w64 cross compiler and Wine: run" \
      "scripts/install-deps.sh (or set ORN_SKIP_WINDOWS=1)." >&2
    exit 1
  fi
  scripts/test-windows.sh build
fi
if [ "${quick}" = false ]; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite build-asan address 60
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    run_suite build-tsan thread 60
  echo "=== fuzz targets (${ORN_FUZZ_SECONDS:-15} s each) ==="
  scripts/fuzz.sh "${ORN_FUZZ_SECONDS:-15}"
fi
