#!/usr/bin/env bash
# The Windows stage: cross-builds VelquoraORN.dll, its test programs and the demo with mingw-w64,
# checks the DLL's export table, and then:
#   0. compiles the public header as an MSVC application would (clang-14 standing in), and
#      builds two Visual Studio-style applications, C and C++, that clang-14 compiles in its
#      MSVC mode and lld-link links for x86 against the import library VelquoraORN.lib;
# and runs under Wine, in a 32-bit prefix and in a 64-bit one (the DLL under WOW64):
#   1. the unit tests (platform, link, logger, engine, the Windows backend's own), and the
#      encrypted log written there read back by the Linux ornlogread;
#   2. the session tests against the native simulator, whose pty is the Wine COM port COM7 and
#      whose control channel injects the faults;
#   3. the two Visual Studio-style applications against the simulator;
#   4. the demo, whose output must match the Linux demo's line for line (times aside).
# Usage: scripts/test-windows.sh [LINUX_BUILD_DIR]  (the Linux build supplies ornsim, ornlogread
# and the Linux demo; default build). ORN_WINE_PREFIXES="win32 win64" (the default) chooses the
# prefixes; a machine without wine64 runs the 32-bit one only.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)
jobs="$(nproc)"
linux_build="${1:-build}"
win_build=build-win32
prefixes="${ORN_WINE_PREFIXES:-win32 win64}"
missing_wine64=0
if [[ " ${prefixes} " == *" win64 "* ]] && [ ! -x /usr/lib/wine/wine64 ] &&
    ! command -v wine64 >/dev/null; then
  # Left out on a developer's machine; in CI a missing package is a failure.
  echo "wine64 is not installed: the 64-bit prefix is left out (scripts/install-deps.sh)"
  prefixes="${prefixes//win64/}"
  if [ -n "${CI:-}" ]; then missing_wine64=1; fi
fi

echo "=== build ${win_build} (Windows, i686 mingw-w64) ==="
cmake -S . -B "${win_build}" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
# export_check is part of the default build: it fails the build when the exports are wrong.
cmake --build "${win_build}" -j"${jobs}" --target all
cmake --build "${linux_build}" -j"${jobs}" --target ornsim ornlogread orn_demo >/dev/null

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
  local prefix
  for prefix in "${win_build}/wineprefix" "${win_build}/wineprefix64"; do
    [ -d "${prefix}" ] || continue
    rm -f "${prefix}/dosdevices/com7"
    WINEPREFIX="$(cd "${prefix}" && pwd)" wineserver -k 2>/dev/null || true
  done
  if [ -n "${ORN_KEEP_WINE_WORK:-}" ]; then echo "kept ${work}"; else rm -rf "${work}"; fi
}
trap cleanup EXIT

failures="${missing_wine64}"
check() {  # name, command...: runs one check, counts a failure
  local name="$1" out; shift
  out="${work}/$(tr -c 'A-Za-z0-9@.-' _ <<<"${name}").out"
  if "$@" >"${out}" 2>&1; then
    # What passed: GoogleTest's summary, or the count of an application's "ok" lines.
    local summary checks
    summary="$(grep -E '^\[  PASSED  \]' "${out}" | tail -1 || true)"
    checks="$(grep -c '^ok ' "${out}" || true)"
    if [ -z "${summary}" ] && [ "${checks}" -gt 0 ]; then summary="${checks} checks"; fi
    echo "  ok      ${name}${summary:+: ${summary}}"
  else
    echo "  FAILED  ${name}"
    cat "${out}"
    failures=$((failures + 1))
  fi
}
run() {  # name, command...: one Wine program in the current prefix
  local name="$1"; shift
  check "${name}@${WINEARCH}" "$@"
}

# The unload test exits with the library's threads still reading the port. Wine tears such a
# process down by stopping its threads one by one, and a thread stopped while fetching a file
# descriptor from wineserver can find the server's socket already closed: Wine then prints
# "wine client error:...: recvmsg: Connection reset by peer" and the exit status becomes 1 (Windows
# ends all threads before anything else runs). That happens after the test passed and the process
# exited in time, so it is reported and not counted; a hang (124) or anything else still fails.
unload_test() {  # exe
  local out rc=0
  out="$(timeout 20 wine "$1" --gtest_brief=1 2>&1)" || rc=$?
  printf '%s\n' "${out}"
  if [ "${rc}" -eq 1 ] && grep -q '^\[  PASSED  \] 1 test\.' <<<"${out}" &&
      grep -q '^wine client error:.*recvmsg' <<<"${out}" &&
      ! grep -vE '^\[(=+|  PASSED  )\]|^wine client error:[0-9a-f]+: recvmsg: Connection reset by peer\r?$' \
        <<<"${out}" | grep -q .; then
    echo "(Wine's client lost its server while the process exited after passing; not counted)" >&2
    return 0
  fi
  return "${rc}"
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
  if [ -n "${WINEPREFIX:-}" ]; then
    ln -sfn "$(sed -n 's/^# port COM7 -> //p' "${out}")" "${WINEPREFIX}/dosdevices/com7"
  fi
  export ORN_WINE_PORT=COM7
  ORN_SIM_CONTROL="$(sed -n 's/^# control //p' "${out}")"
  export ORN_SIM_CONTROL
}

echo "=== the public header as an MSVC application compiles it ==="
# No MSVC here: clang in its MSVC mode stands in, as C and as C++, with stdcall as the default
# convention (as /Gz sets it), so that a function the header left without __cdecl fails.
have_clang=""
if command -v clang-14 >/dev/null; then
  have_clang=1
  cat >"${work}/consumer.c" <<'CONSUMER'
#include "velquoraorn.h"
typedef int(__cdecl* ReOpen)(void);
int main(void) {
    ReOpen reopen = ornReOpenPort;
    return reopen();
}
CONSUMER
  for lang in c c++; do
    check "include/velquoraorn.h as ${lang} (i686-pc-windows-msvc)" \
      clang-14 --target=i686-pc-windows-msvc -fms-extensions -ffreestanding -fsyntax-only \
        -Wall -Wextra -Werror -mrtd -Iinclude -x "${lang}" "${work}/consumer.c"
  done
else
  echo "  skipped the header check and the Visual Studio-style applications: clang-14 is missing"
fi

echo "=== Visual Studio-style applications linked against VelquoraORN.lib ==="
# Compiled by clang-14 in its MSVC mode and linked by lld-link for x86 with /SAFESEH, as a
# 32-bit Visual Studio project links by default. There is no MSVC runtime here: the programs
# link with /nodefaultlib and bring a tiny runtime of their own that imports only KERNEL32,
# through an import library written from a small .def.
msvc_src=tests/win32/msvc
msvc_obj="${win_build}/msvc"
msvc_cflags=(--target=i686-pc-windows-msvc -O1 -Wall -Wextra -Werror -ffreestanding
             -fno-stack-protector -Iinclude -I"${msvc_src}")
msvc_link=(lld-link /nologo /machine:x86 /safeseh /nodefaultlib /entry:mainCRTStartup
           /subsystem:console)
build_msvc_app() {  # exe, sources...: compiles and links one application beside the DLL
  local exe="$1" src obj objs=(); shift
  for src in "$@"; do
    obj="${msvc_obj}/$(basename "${src}").obj"
    case "${src}" in
      *.cpp) clang-14 "${msvc_cflags[@]}" -x c++ -fno-exceptions -fno-rtti -c "${src}" -o "${obj}" ;;
      *) clang-14 "${msvc_cflags[@]}" -c "${src}" -o "${obj}" ;;
    esac || return 1
    objs+=("${obj}")
  done
  "${msvc_link[@]}" /out:"${bin}/${exe}" "${objs[@]}" "${win_build}/VelquoraORN.lib" \
    "${msvc_obj}/kernel32.lib"
}
msvc_apps=""
if [ -n "${have_clang}" ]; then
  mkdir -p "${msvc_obj}"
  rm -f "${bin}/orn_msvc_c.exe" "${bin}/orn_msvc_cpp.exe"
  check "kernel32.lib for the applications" llvm-dlltool-14 -m i386 -k \
    -d "${msvc_src}/kernel32.def" -l "${msvc_obj}/kernel32.lib" -D KERNEL32.dll
  check "orn_msvc_c.exe (C, /safeseh)" build_msvc_app orn_msvc_c.exe \
    "${msvc_src}/consumer.c" "${msvc_src}/runtime.c"
  check "orn_msvc_cpp.exe (C++, decorated ornReOpenPort, /safeseh)" build_msvc_app \
    orn_msvc_cpp.exe "${msvc_src}/consumer.cpp" "${msvc_src}/reopen.cpp" \
    "${msvc_src}/reopen_dllimport.cpp" "${msvc_src}/runtime.c"
  for app in orn_msvc_c orn_msvc_cpp; do
    if [ -f "${bin}/${app}.exe" ]; then msvc_apps+=" ${app}"; fi
  done
fi

# Times, durations and paths differ between the demo runs; everything else must be identical.
normalise() {
  sed -e 's/terminal clock: .*/terminal clock: <time>/' -e 's/ after [0-9]* ms/ after <n> ms/' \
      -e 's/^Log file: .*/Log file: <path>/'
}
start_sim --keypad-delay 1000
ORN_PORT_DIR="${work}/ports" "${linux_build}/examples/orn_demo" COM7 "${work}/orn_demo.log" \
  >"${work}/demo-linux.out" 2>&1 || true
stop_sim

# The Wine programs of one prefix.
wine_stage() {
  local arch="$1" stage_started
  stage_started=$(date +%s)
  . scripts/wine-env.sh "${win_build}" "${arch}"
  echo "=== ${arch} prefix: unit tests under Wine ==="
  for t in platform_test link_frame_test link_receiver_test command_data_test sensitive_test \
           text_test; do
    run "${t}" wine "${bin}/${t}.exe" --gtest_brief=1
  done
  local enc_log="${work}/wine-enc-${arch}.log"
  start_sim  # the backend test also uses a COM port
  ORN_WIN32_LOG_OUT="Z:${enc_log//\//\\}" run win32_backend_test wine "${bin}/win32_backend_test.exe" \
    --gtest_brief=1
  run win32_hid_test wine "${bin}/win32_hid_test.exe" --gtest_brief=1
  check "encrypted log written under Wine (${arch}) read by the Linux ornlogread" \
    grep -q '(Info)  written under Windows: 42 bytes$' \
    <("${linux_build}/tools/ornlogread" -k 0123456789ABCDEFFEDCBA9876543210 "${enc_log}.0")

  echo "=== ${arch} prefix: session tests under Wine against the simulator ==="
  start_sim
  run wine_session_test wine "${bin}/wine_session_test.exe" --gtest_brief=1 \
    --gtest_filter=-*TerminalGoesAway*
  start_sim
  # Exiting with the link open must not wait out the library's threads under the loader lock.
  run wine_unload_test unload_test "${bin}/wine_unload_test.exe"
  start_sim
  run wine_session_test_terminal_gone wine "${bin}/wine_session_test.exe" --gtest_brief=1 \
    --gtest_filter=*TerminalGoesAway*

  echo "=== ${arch} prefix: Visual Studio-style applications against the simulator ==="
  for app in ${msvc_apps}; do
    start_sim
    run "${app}" wine "${bin}/${app}.exe"
  done

  echo "=== ${arch} prefix: demo under Wine, compared with the Linux demo ==="
  start_sim --keypad-delay 1000
  local wine_log="${work}/wine-${arch}/orn_demo.log"
  mkdir -p "${work}/wine-${arch}"
  wine "${bin}/orn_demo.exe" COM7 "Z:${wine_log//\//\\}" 2>&1 | tr -d '\r' \
    >"${work}/demo-${arch}.out" || true
  stop_sim
  if diff <(normalise <"${work}/demo-linux.out") <(normalise <"${work}/demo-${arch}.out") \
      >"${work}/demo-${arch}.diff" && grep -q '^Demo succeeded.$' "${work}/demo-${arch}.out"; then
    echo "  ok      demo@${arch}: $(grep -c '' "${work}/demo-${arch}.out") lines, the same as on Linux"
  else
    echo "  FAILED  demo output under Wine (${arch}) differs from Linux (< Linux, > Wine):"
    cat "${work}/demo-${arch}.diff" "${work}/demo-${arch}.out"
    failures=$((failures + 1))
  fi
  rm -f "${WINEPREFIX}/dosdevices/com7"
  wineserver -k 2>/dev/null || true  # the next prefix gets the machine to itself
  echo "=== ${arch} prefix: $(($(date +%s) - stage_started)) s ==="
}

for arch in ${prefixes}; do
  wine_stage "${arch}"
done

echo "=== Windows stage: ${failures} failed, $(($(date +%s) - started)) s ==="
[ "${failures}" -eq 0 ]
