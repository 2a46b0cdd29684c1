#!/usr/bin/env bash
# Builds the library and runs the sample POS application.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target orn_demo
./build/examples/orn_demo
