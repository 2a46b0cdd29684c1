#!/usr/bin/env bash
# Builds and runs the language bindings' tests against a build's library and simulator.
#   scripts/test-bindings.sh [BUILD_DIR]   (default build; targets velquoraorn and ornsim built)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-build}" && pwd)"
status=0

# ---- Python (bindings/python) -------------------------------------------------------------
# Debian's python3-pytest lives under /usr/bin/python3, which may not be the python3 on PATH.
# Every step runs; the section fails when any of them does.
python_tests() {
  local python=/usr/bin/python3 failed=0
  if ! "${python}" -c 'import pytest' 2>/dev/null; then python=python3; fi
  export VELQUORAORN_LIBRARY="${build}/libvelquoraorn.so.1" ORNSIM="${build}/tools/ornsim"
  echo "== Python binding: header comparison"
  "${python}" "${root}/bindings/python/check_header.py" "${root}/include/velquoraorn.h" || failed=1
  # The package installs without fetching anything (setuptools from the system).
  if "${python}" -m pip --version >/dev/null 2>&1; then
    local target
    target="$(mktemp -d)"
    if PIP_ROOT_USER_ACTION=ignore "${python}" -m pip install --quiet --no-build-isolation \
      --no-deps --no-index --target "${target}" "${root}/bindings/python" &&
      [ -f "${target}/velquoraorn/_native.py" ]; then
      echo "pip install bindings/python: ok"
    else
      echo "pip install bindings/python: FAILED"
      failed=1
    fi
    rm -rf "${target}" "${root}/bindings/python/build" "${root}/bindings/python/"*.egg-info
  else
    echo "pip install bindings/python: skipped (no pip for ${python})"
  fi
  echo "== Python binding: tests"
  (cd "${root}/bindings/python" &&
    PYTHONPATH="${root}/bindings/python" PYTHONDONTWRITEBYTECODE=1 \
      "${python}" -m pytest -q -p no:cacheprovider tests) || failed=1
  return "${failed}"
}
python_tests || status=1
# ---- end Python ---------------------------------------------------------------------------

exit "${status}"
