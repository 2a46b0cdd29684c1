#!/usr/bin/env bash
# Builds the library, the terminal simulator and the sample POS application, starts the
# simulator on a pseudo-terminal, and runs the sample session against it.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${ORN_BUILD_DIR:-build}"
cmake -S . -B "${build}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "${build}" -j"$(nproc)" --target orn_demo ornsim ornlogread >/dev/null

ports="$(mktemp -d)"
sim_out="${ports}/ornsim.out"
cleanup() {
  if [ -n "${sim_pid:-}" ]; then kill "${sim_pid}" 2>/dev/null || true; fi
  rm -rf "${ports}"
}
trap cleanup EXIT

# A cardholder who takes a second at every keypad prompt: long enough for the demo to cancel
# an input deterministically while it is still pending.
"./${build}/tools/ornsim" --dir "${ports}" --port COM7 --keypad-delay 1000 >"${sim_out}" &
sim_pid=$!
for _ in $(seq 100); do grep -q '^export ORN_PORT_DIR=' "${sim_out}" 2>/dev/null && break; sleep 0.1; done
eval "$(grep '^export ORN_PORT_DIR=' "${sim_out}")"
echo "Terminal simulator running: ORN_PORT_DIR=${ORN_PORT_DIR}"
echo

mkdir -p "${build}/demo-logs"
"./${build}/examples/orn_demo" COM7 "${PWD}/${build}/demo-logs/orn_demo.log"
echo "Read it with: ${build}/tools/ornlogread <log file>"
