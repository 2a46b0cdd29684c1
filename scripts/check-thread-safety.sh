#!/usr/bin/env bash
# Compiles the library, and the engine test that reaches into the engine's parts, with
# clang 14 and its thread-safety analysis as errors: a guarded member touched without its lock,
# or locks taken against their declared order, fail this build. Building is the check; nothing
# runs. Usage: scripts/check-thread-safety.sh [build-dir] (default build-tsa).
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build-tsa}"
cmake -S . -B "${dir}" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_CXX_FLAGS="-Wthread-safety -Wthread-safety-beta -Werror" \
  -DORN_BUILD_BENCH=OFF >/dev/null
cmake --build "${dir}" -j"$(nproc)" --target velquoraorn engine_test
