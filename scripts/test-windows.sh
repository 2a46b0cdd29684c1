#!/usr/bin/env bash
# The Windows stage: cross-builds VelquoraORN.dll, its test programs and the demo with mingw-w64,
# checks the DLL's export table, and runs under 32-bit Wine:
#   0. the public header, compiled as an MSVC application would (clang-14 standing in);
#   1. the unit tests (platform, link, logger, engine, the Windows backend's own), and the
#      encrypted log written there read back by the Linux ornlogread;
#   2. the session tests against the native simulator, whose pty is the Wine COM port COM7 and
#      whose control channel injects the faults;
#   3. the demo, whose output must match the Linux demo's line for line (times aside).
# Usage: scripts/test-windows.sh [LINUX_BUILD_DIR]  (the Linux build supplies ornsim, ornlogread
# and the Linux demo; default build)
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)
jobs="$(nproc)"
linux_build="${1:-build}"
win_build=build-win32

echo "=== build ${win_build} (Windows, i686 mingw-w64) ==="
cmake -S . -B "${win_build}" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
# export_check is part of the default build: it fails the build when the exports are wrong.
cmake --build "${win_build}" -j"${jobs}" --target all
cmake --build "${linux_build}" -j"${jobs}" --target ornsim ornlogread orn_demo >/dev/null

. scripts/wine-env.sh "${win_build}"
bin="${win_build}/bin"
work="$(mktemp -d)"
sim_pid=""
stop_sim() {
  if [ -n "${sim_pid}" ]; then
    kill "${sim_pid}" 2>/dev/null || true
    wait "${sim_pid}" 2>/dev/null || true
    sim_pid=""
  fi
}
cleanup() {
  stop_sim
  rm -f "${WINEPREFIX}/dosdevices/com7"
  wineserver -k 2>/dev/null || true
  if [ -n "${ORN_KEEP_WINE_WORK:-}" ]; then echo "kept ${work}"; else rm -rf "${work}"; fi
}
trap cleanup EXIT

failures=0
run() {  # name, command...: runs one Wine program, counts a failure
  local name="$1"; shift
  if "$@" >"${work}/${name}.out" 2>&1; then
    echo "  ok      ${name}: $(grep -E '^\[  PASSED  \]' "${work}/${name}.out" | tail -1 || true)"
  else
    echo "  FAILED  ${name}"
    cat "${work}/${name}.out"
    failures=$((failures + 1))
  fi
}

sims=0
# Starts the simulator on a fresh pty, links it as COM7 and publishes its control port.
start_sim() {
  stop_sim
  sims=$((sims + 1))
  local out="${work}/ornsim-${sims}.out"
  "${linux_build}/tools/ornsim" --dir "${work}/ports" --port COM7 --control 0 "$@" >"${out}" &
  sim_pid=$!
  for _ in $(seq 100); do grep -q '^# control ' "${out}" 2>/dev/null && break; sleep 0.1; done
  ln -sfn "$(sed -n 's/^# port COM7 -> //p' "${out}")" "${WINEPREFIX}/dosdevices/com7"
  export ORN_WINE_PORT=COM7
  ORN_SIM_CONTROL="$(sed -n 's/^# control //p' "${out}")"
  export ORN_SIM_CONTROL
}

echo "=== the public header as an MSVC application compiles it ==="
# No MSVC here: clang in its MSVC mode stands in, as C and as C++, with stdcall as the default
# convention (as /Gz sets it), so that a function the header left without __cdecl fails.
if command -v clang-14 >/dev/null; then
  cat >"${work}/consumer.c" <<'CONSUMER'
#include "velquoraorn.h"
typedef int(__cdecl* ReOpen)(void);
int main(void) {
    ReOpen reopen = ornReOpenPort;
    return reopen();
}
CONSUMER
  for lang in c c++; do
    if clang-14 --target=i686-pc-windows-msvc -fms-extensions -ffreestanding -fsyntax-only \
        -Wall -Wextra -Werror -mrtd -Iinclude -x "${lang}" "${work}/consumer.c" \
        >"${work}/header-${lang}.out" 2>&1; then
      echo "  ok      include/velquoraorn.h as ${lang} (i686-pc-windows-msvc)"
    else
      echo "  FAILED  include/velquoraorn.h as ${lang} (i686-pc-windows-msvc)"
      cat "${work}/header-${lang}.out"
      failures=$((failures + 1))
    fi
  done
else
  echo "  skipped the header check: clang-14 is not installed"
fi

echo "=== unit tests under Wine ==="
for t in platform_test link_frame_test link_receiver_test command_data_test sensitive_test \
         text_test; do
  run "${t}" wine "${bin}/${t}.exe" --gtest_brief=1
done
enc_log="${work}/wine-enc.log"
start_sim  # the backend test also uses a COM port
ORN_WIN32_LOG_OUT="Z:${enc_log//\//\\}" run win32_backend_test wine "${bin}/win32_backend_test.exe" \
  --gtest_brief=1
run win32_hid_test wine "${bin}/win32_hid_test.exe" --gtest_brief=1
if "${linux_build}/tools/ornlogread" -k 0123456789ABCDEFFEDCBA9876543210 "${enc_log}.0" |
    grep -q '(Info)  written under Windows: 42 bytes$'; then
  echo "  ok      the encrypted log written under Wine reads back with the Linux ornlogread"
else
  echo "  FAILED  the encrypted log written under Wine does not read back on Linux"
  failures=$((failures + 1))
fi

echo "=== session tests under Wine against the simulator ==="
start_sim
run wine_session_test wine "${bin}/wine_session_test.exe" --gtest_brief=1 \
  --gtest_filter=-*TerminalGoesAway*
start_sim
# Exiting with the link open must not wait out the library's threads under the loader lock.
run wine_unload_test timeout 20 wine "${bin}/wine_unload_test.exe" --gtest_brief=1
start_sim
run wine_session_test_terminal_gone wine "${bin}/wine_session_test.exe" --gtest_brief=1 \
  --gtest_filter=*TerminalGoesAway*

echo "=== demo under Wine, compared with the Linux demo ==="
# Times, durations and paths differ between the runs; everything else must be identical.
normalise() {
  sed -e 's/terminal clock: .*/terminal clock: <time>/' -e 's/ after [0-9]* ms/ after <n> ms/' \
      -e 's/^Log file: .*/Log file: <path>/'
}
start_sim --keypad-delay 1000
wine_log="${work}/wine/orn_demo.log"
mkdir -p "${work}/wine"
wine "${bin}/orn_demo.exe" COM7 "Z:${wine_log//\//\\}" 2>&1 | tr -d '\r' >"${work}/demo-wine.out" || true
start_sim --keypad-delay 1000
ORN_PORT_DIR="${work}/ports" "${linux_build}/examples/orn_demo" COM7 "${work}/orn_demo.log" \
  >"${work}/demo-linux.out" 2>&1 || true
stop_sim
if diff <(normalise <"${work}/demo-linux.out") <(normalise <"${work}/demo-wine.out") \
    >"${work}/demo.diff" && grep -q '^Demo succeeded.$' "${work}/demo-wine.out"; then
  echo "  ok      demo: $(grep -c '' "${work}/demo-wine.out") lines, the same as on Linux"
else
  echo "  FAILED  demo output under Wine differs from Linux (< Linux, > Wine):"
  cat "${work}/demo.diff" "${work}/demo-wine.out"
  failures=$((failures + 1))
fi

echo "=== Windows stage: ${failures} failed, $(($(date +%s) - started)) s ==="
[ "${failures}" -eq 0 ]
