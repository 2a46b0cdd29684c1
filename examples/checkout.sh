#!/usr/bin/env bash
# Runs examples/checkout against the terminal simulator driven by examples/checkout.ornsim.
# Usage: examples/checkout.sh [BUILD_DIR]   (default build; the targets ornsim and
# orn_checkout built)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-build}" && pwd)"
ports="$(mktemp -d)"
cleanup() {
  if [ -n "${sim_pid:-}" ]; then kill "${sim_pid}" 2>/dev/null || true; wait "${sim_pid}" || true; fi
  rm -rf "${ports}"
}
trap cleanup EXIT

"${build}/tools/ornsim" --dir "${ports}" --script "${here}/checkout.ornsim" </dev/null \
  >"${ports}/ornsim.out" &
sim_pid=$!
for _ in $(seq 100); do grep -q '^export ORN_PORT_DIR=' "${ports}/ornsim.out" 2>/dev/null && break; sleep 0.1; done
export ORN_PORT_DIR="${ports}"
status=0
"${build}/examples/orn_checkout" COM7 || status=$?
echo "--- what the simulator said:"
grep -v '^export\|^#' "${ports}/ornsim.out" || true
exit "${status}"
