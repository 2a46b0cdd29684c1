#!/usr/bin/env bash
# Installs the library from a build directory into a temporary prefix and builds a small C
# application against it twice, through find_package(VelquoraORN) and through pkg-config, then
# runs both against the installed simulator. Usage: scripts/test-install.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
work="$(mktemp -d)"
cleanup() {
  if [ -n "${sim_pid:-}" ]; then kill "${sim_pid}" 2>/dev/null || true; fi
  rm -rf "${work}"
}
trap cleanup EXIT
prefix="${work}/prefix"

echo "=== install into a temporary prefix ==="
cmake --install "${build}" --prefix "${prefix}" >/dev/null
libdir="$(cd "${prefix}" && dirname "$(find . -name 'libvelquoraorn.so' | head -n1)")"
soname="$(objdump -p "${prefix}/${libdir}/libvelquoraorn.so" | awk '$1 == "SONAME" {print $2}')"
[ "${soname}" = "libvelquoraorn.so.1" ] || { echo "unexpected soname '${soname}'" >&2; exit 1; }
for f in include/velquoraorn.h bin/ornsim bin/ornlogread share/man/man1/ornsim.1 \
    share/man/man1/ornlogread.1 "${libdir}/pkgconfig/velquoraorn.pc" \
    "${libdir}/cmake/VelquoraORN/VelquoraORNConfig.cmake"; do
  [ -e "${prefix}/${f}" ] || { echo "not installed: ${f}" >&2; exit 1; }
done
"${prefix}/bin/ornsim" --help >/dev/null
"${prefix}/bin/ornlogread" --help >/dev/null

echo "=== consumer through find_package ==="
cmake -S examples/consumer -B "${work}/cmake-consumer" -DCMAKE_PREFIX_PATH="${prefix}" >/dev/null
cmake --build "${work}/cmake-consumer" >/dev/null

echo "=== consumer through pkg-config ==="
export PKG_CONFIG_PATH="${prefix}/${libdir}/pkgconfig"
# shellcheck disable=SC2046
cc -Wall -Wextra -o "${work}/pc-consumer" examples/consumer/consumer.c \
  $(pkg-config --cflags --libs velquoraorn) -Wl,-rpath,"$(pkg-config --variable=libdir velquoraorn)"

echo "=== both against the installed simulator ==="
"${prefix}/bin/ornsim" --dir "${work}" --port COM7 >"${work}/ornsim.out" &
sim_pid=$!
for _ in $(seq 100); do grep -q '^export ORN_PORT_DIR=' "${work}/ornsim.out" 2>/dev/null && break; sleep 0.1; done
eval "$(grep '^export ORN_PORT_DIR=' "${work}/ornsim.out")"
"${work}/cmake-consumer/orn_consumer" COM7
"${work}/pc-consumer" COM7
echo "install test passed"
