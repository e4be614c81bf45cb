#!/usr/bin/env bash
# Builds the libraries and camcal, then shows every camera of the embedded
# default calibration. Extra arguments replace the subcommand:
#   scripts/run-camcal.sh intrinsics navigation 640x480
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/release --target camcal -j"$(nproc)" >/dev/null
if (( $# )); then
  exec build/release/tools/camcal/camcal "$@"
fi
exec build/release/tools/camcal/camcal cameras
