#!/usr/bin/env bash
# Builds a Release of the library, camcal and the Python module, and installs
# them into PREFIX:
#   scripts/install.sh PREFIX [CMAKE_OPTION...]
# e.g. scripts/install.sh /opt/robot -DCAMERA_PARAMETERS_TOOLS=OFF: the library
# and its package without camcal.
# PREFIX/include, PREFIX/lib (the library and its CMake package, for
# find_package(camera_parameters)), PREFIX/bin/camcal and the Python module in
# PREFIX/lib/python3/dist-packages. Installs the Debian packages the build
# needs when they are missing, as scripts/run-camcal.sh does.
set -euo pipefail
if (( $# < 1 )); then
  echo "usage: scripts/install.sh PREFIX [CMAKE_OPTION...]" >&2
  exit 2
fi
prefix=$(realpath -m -- "$1")
shift
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF "$@" >/dev/null
cmake --build build/release -j"$(nproc)" >/dev/null
cmake --install build/release --prefix "$prefix" >/dev/null
echo "installed into $prefix"
if [[ "$prefix" != /usr/local ]]; then
  echo "Python: PYTHONPATH=$prefix/lib/python3/dist-packages /usr/bin/python3"
fi
