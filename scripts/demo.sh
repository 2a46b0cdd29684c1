#!/usr/bin/env bash
# Builds the library, the terminal simulator and the sample POS application, starts the
# simulator on a pseudo-terminal and runs the sample session against it, then does the same
# with the simulator as a USB HID terminal.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${ORN_BUILD_DIR:-build}"
cmake -S . -B "${build}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "${build}" -j"$(nproc)" --target orn_demo ornsim ornlogread >/dev/null

ports="$(mktemp -d)"
sim_out="${ports}/ornsim.out"
hid_dir="$(mktemp -d)"
cleanup() {
  if [ -n "${sim_pid:-}" ]; then kill "${sim_pid}" 2>/dev/null || true; fi
  if [ -n "${hid_pid:-}" ]; then kill "${hid_pid}" 2>/dev/null || true; fi
  rm -rf "${ports}" "${hid_dir}"
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
kill "${sim_pid}" 2>/dev/null || true
wait "${sim_pid}" 2>/dev/null || true
sim_pid=

echo
echo "=== The same session over USB HID ==="
"./${build}/tools/ornsim" --dir "${hid_dir}" --hid --keypad-delay 1000 >"${hid_dir}/ornsim.out" &
hid_pid=$!
for _ in $(seq 100); do grep -q '^export ORN_DEV_ROOT=' "${hid_dir}/ornsim.out" 2>/dev/null && break; sleep 0.1; done
eval "$(grep '^export ' "${hid_dir}/ornsim.out")"
echo "USB HID terminal simulator running: ORN_SYSFS_ROOT=${ORN_SYSFS_ROOT} ORN_DEV_ROOT=${ORN_DEV_ROOT}"
echo
"./${build}/examples/orn_demo" USBHID "${PWD}/${build}/demo-logs/orn_demo_hid.log"
echo "Read the logs with: ${build}/tools/ornlogread <log file>"
