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
# ---- .NET ------------------------------------------------------------------------------------
# The assembly, its example and its test runner built with Mono's compiler into BUILD_DIR/dotnet,
# the P/Invoke declarations compared with the header, and the runner against the simulator.
dotnet_tests() (
  local out="${build}/dotnet" src="${root}/bindings/dotnet"
  mkdir -p "${out}"
  python3 "${src}/tools/check-native.py" "${root}/include/velquoraorn.h" "${src}/src/Native.cs" || return 1
  # ... and the check notices an export the binding lacks.
  local header
  header="$(mktemp)"
  { cat "${root}/include/velquoraorn.h"; echo 'ORN_API int ORN_CALL ornNotBound(int value);'; } >"${header}"
  if python3 "${src}/tools/check-native.py" "${header}" "${src}/src/Native.cs" >/dev/null 2>&1; then
    echo "check-native did not notice an unbound export" >&2
    rm -f "${header}"
    return 1
  fi
  rm -f "${header}"
  mcs -nologo -warnaserror -unsafe -optimize -target:library -r:System.Core \
    -out:"${out}/VelquoraORN.Net.dll" "${src}"/src/*.cs || return 1
  cp "${src}/src/VelquoraORN.Net.dll.config" "${out}/"
  mcs -nologo -warnaserror -r:"${out}/VelquoraORN.Net.dll" -r:System.Core \
    -out:"${out}/Checkout.exe" "${src}/examples/Checkout.cs" || return 1
  mcs -nologo -warnaserror -r:"${out}/VelquoraORN.Net.dll" -r:System.Core \
    -out:"${out}/Tests.exe" "${src}/tests/Tests.cs" || return 1
  local ports rc=0
  ports="$(mktemp -d)"
  export ORN_PORT_DIR="${ports}" LD_LIBRARY_PATH="${build}${LD_LIBRARY_PATH:+:${LD_LIBRARY_PATH}}"
  # The example against the scripted cardholder and bank of examples/checkout.ornsim; ornsim
  # ends when its standard input, held by this shell, closes.
  coproc checkout_sim { exec "${build}/tools/ornsim" --dir "${ports}/example" \
    --script "${root}/examples/checkout.ornsim" --until-stdin-eof >/dev/null; }
  local deadline=$((SECONDS + 30))
  until [ -e "${ports}/example/COM7" ] || [ ${SECONDS} -ge ${deadline} ]; do sleep 0.1; done
  ORN_PORT_DIR="${ports}/example" timeout 120 mono --debug "${out}/Checkout.exe" COM7 || rc=1
  exec {checkout_sim[1]}>&-
  wait "${checkout_sim_PID}" || true
  # The tests start their own simulator.
  timeout 300 mono --debug "${out}/Tests.exe" "${build}/tools/ornsim" || rc=1
  rm -rf "${ports}"
  return ${rc}
)
if ! dotnet_tests; then
  echo "test-bindings: .NET failed" >&2
  status=1
fi

exit ${status}
