#!/usr/bin/env bash
# Builds everything (libraries, camcal, tests, benchmarks) and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --tests
jobs=$(nproc)

cmake -S . -B build/test -DCMAKE_BUILD_TYPE=Release -DCAMERA_PARAMETERS_WERROR=ON >/dev/null
cmake --build build/test -j"$jobs"
ctest --test-dir build/test --output-on-failure -j"$jobs"
