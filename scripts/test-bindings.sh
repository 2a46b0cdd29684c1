#!/usr/bin/env bash
# Builds and tests the language bindings against a built library and simulator:
#   scripts/test-bindings.sh BUILD_DIR
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:?usage: test-bindings.sh BUILD_DIR}" && pwd)"
status=0

# ---- .NET ------------------------------------------------------------------------------------
# The assembly, its example and its test runner built with Mono's compiler into BUILD_DIR/dotnet,
# the P/Invoke declarations compared with the header, and the runner against the simulator.
dotnet_tests() {
  local out="${build}/dotnet" src="${root}/bindings/dotnet"
  mkdir -p "${out}"
  python3 "${src}/tools/check-native.py" "${root}/include/velquoraorn.h" "${src}/src/Native.cs" || return 1
  mcs -nologo -warnaserror -unsafe -optimize -target:library -r:System.Core \
    -out:"${out}/VelquoraORN.Net.dll" "${src}"/src/*.cs || return 1
  cp "${src}/src/VelquoraORN.Net.dll.config" "${out}/"
  mcs -nologo -warnaserror -r:"${out}/VelquoraORN.Net.dll" -r:System.Core \
    -out:"${out}/Checkout.exe" "${src}/examples/Checkout.cs" || return 1
  mcs -nologo -warnaserror -r:"${out}/VelquoraORN.Net.dll" -r:System.Core \
    -out:"${out}/Tests.exe" "${src}/tests/Tests.cs" || return 1
  local ports
  ports="$(mktemp -d)"
  ORN_PORT_DIR="${ports}" LD_LIBRARY_PATH="${build}${LD_LIBRARY_PATH:+:${LD_LIBRARY_PATH}}" \
    timeout 300 mono --debug "${out}/Tests.exe" "${build}/tools/ornsim"
  local rc=$?
  rm -rf "${ports}"
  return ${rc}
}
if ! dotnet_tests; then
  echo "test-bindings: .NET failed" >&2
  status=1
fi

exit ${status}
