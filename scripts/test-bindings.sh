#!/usr/bin/env bash
# Builds and tests the language bindings against a built library and simulator:
#   scripts/test-bindings.sh BUILD_DIR
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:?usage: test-bindings.sh BUILD_DIR}" && pwd)"
status=0

# ---- Python ------------------------------------------------------------------------------------
# The package's table of exports compared with the header, an offline pip install of it, and its
# pytest tests against the simulator; every step runs, and the section fails when any of them does.
# Debian's python3-pytest lives under /usr/bin/python3, which may not be the python3 on PATH.
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
      timeout 300 "${python}" -m pytest -q -p no:cacheprovider tests) || failed=1
  return "${failed}"
}
if ! python_tests; then
  echo "test-bindings: Python failed" >&2
  status=1
fi
# ---- end Python --------------------------------------------------------------------------------

exit ${status}
