#!/usr/bin/env bash
# The simulator's face in headless Chromium (chromium, chromium-driver, python3-selenium):
#   scripts/test-browser.sh BUILD_DIR [--screenshot FILE.png]
# The library, the Python binding, ornsim and the example checkout of BUILD_DIR are driven from
# the page. --screenshot keeps the page in the middle of the checkout (docs/face.png).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:?usage: test-browser.sh BUILD_DIR [--screenshot FILE]}" && pwd)"
shift
args=()
if [ "${1:-}" = "--screenshot" ]; then args=(--screenshot "$(realpath "${2:?}")"); fi
cmake --build "${build}" --target velquoraorn ornsim orn_checkout >/dev/null
export ORN_BUILD="${build}" ORNSIM="${build}/tools/ornsim" \
  VELQUORAORN_LIBRARY="${build}/libvelquoraorn.so.1" \
  PYTHONPATH="${root}/bindings/python" PYTHONDONTWRITEBYTECODE=1
cd "${root}/tests/browser"
timeout 300 /usr/bin/python3 -m pytest -q -p no:cacheprovider "${args[@]}" .
