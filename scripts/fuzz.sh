#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz with clang 14 (-fsanitize=fuzzer,address,undefined) and
# runs each for SECONDS (default 60) on its committed seed corpus. New inputs go to a working
# corpus under build-fuzz/; a crash, leak or hang is kept under build-fuzz/artifacts/ and makes
# the script fail. Prints the executions of each target.
#
#   scripts/fuzz.sh [SECONDS]          build and run every target
#   scripts/fuzz.sh --record-seeds     re-record the seed corpora from the integration tests'
#                                      simulator traffic and merge them into tests/fuzz/corpus/
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="$(nproc)"
dir=build-fuzz
# The _dsim targets are fuzz_receiver and fuzz_answers on the simulated platform (fibers on
# virtual time): no real waits, so they run many times faster.
targets=(fuzz_receiver fuzz_codec fuzz_callbacks fuzz_answers fuzz_emv fuzz_logread
  fuzz_receiver_dsim fuzz_answers_dsim)

build() {
  cmake -S . -B "${dir}" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORN_BUILD_FUZZ=ON -DORN_BUILD_TESTS=OFF \
    -DORN_BUILD_BENCH=OFF >/dev/null
  cmake --build "${dir}" -j"${jobs}" --target fuzz_all seed_logs
}

# The seed corpus each target starts from: the recorded messages serve four of them.
seeds_of() {
  case "$1" in
    fuzz_receiver*) echo tests/fuzz/corpus/receiver ;;
    fuzz_logread) echo tests/fuzz/corpus/logread ;;
    fuzz_emv) echo tests/fuzz/corpus/emv ;;
    *) echo tests/fuzz/corpus/messages ;;
  esac
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS="suppressions=${PWD}/tests/fuzz/lsan.supp"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

if [ "${1:-}" = "--record-seeds" ]; then
  build
  raw="$(mktemp -d)"
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j"${jobs}"
  ORN_RECORD_FRAMES="${raw}" ctest --test-dir build -L integration -j"${jobs}" >/dev/null || true
  mkdir -p "${raw}/logread" "${raw}/emv"
  "${dir}/tests/fuzz/seed_logs" "${raw}/logread"
  for seed in "${raw}"/messages/*; do  # the "F1." messages also seed the EMV target
    if [ "$(head -c 4 "${seed}" | tail -c 3)" = "F1." ]; then cp "${seed}" "${raw}/emv/"; fi
  done
  # Keep only the inputs that add coverage.
  for kind in receiver messages emv logread; do
    case "${kind}" in
      receiver) target=fuzz_receiver ;; logread) target=fuzz_logread ;;
      emv) target=fuzz_emv ;; *) target=fuzz_codec ;;
    esac
    rm -rf "tests/fuzz/corpus/${kind}" && mkdir -p "tests/fuzz/corpus/${kind}"
    "${dir}/tests/fuzz/${target}" -merge=1 -close_fd_mask=1 "tests/fuzz/corpus/${kind}" "${raw}/${kind}" \
      2>/dev/null
    if [ "${kind}" = messages ]; then  # and what the callback decoding adds
      "${dir}/tests/fuzz/fuzz_callbacks" -merge=1 -close_fd_mask=1 "tests/fuzz/corpus/${kind}" "${raw}/${kind}" \
        2>/dev/null
    fi
  done
  rm -rf "${raw}"
  exit 0
fi

seconds="${1:-60}"
build
status=0
for target in "${targets[@]}"; do
  work="${dir}/corpus/${target}"
  mkdir -p "${work}" "${dir}/artifacts"
  log="${dir}/${target}.log"
  echo "=== ${target}: ${seconds} s ==="
  # The targets log at the Detail level to standard output: closed here.
  if ! nice "${dir}/tests/fuzz/${target}" -max_total_time="${seconds}" -timeout=120 -close_fd_mask=1 \
      -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="${dir}/artifacts/${target}-" \
      "${work}" "$(seeds_of "${target}")" >"${log}" 2>&1; then
    status=1
    echo "${target}: FAILED, see ${log}"
    grep -E "ERROR|SUMMARY|fuzz check failed|Test unit written" "${log}" | head -20 || true
  fi
  execs="$(grep -m1 '^stat::number_of_executed_units' "${log}" | awk '{print $2}')"
  echo "${target}: ${execs:-?} executions"
done
exit "${status}"
