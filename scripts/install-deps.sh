#!/usr/bin/env bash
# Installs the Debian packages the build needs, when they are missing.
#   scripts/install-deps.sh          libraries and tools to build and run camcal
#                                    (OpenCV's board detectors included, ChArUco's
#                                    from its contrib modules) and the
#                                    Python module (mypy: its stubgen writes the
#                                    module's type stubs)
#   scripts/install-deps.sh --tests  also GoogleTest, Google Benchmark, OpenCV
#                                    (a reference in tests, from C++ and Python),
#                                    pytest, clang (fuzzing), clang-format, and
#                                    ROS's URDF readers (check_urdf, urdfdom,
#                                    kdl_parser, KDL) that check camcal urdf
#   scripts/install-deps.sh --cross  also the aarch64 cross build: Debian's cross
#                                    compiler, qemu-user, and the arm64 libraries
#                                    it links (multiarch: adds the arm64 architecture)
set -euo pipefail

packages=(cmake make g++ pkg-config libeigen3-dev libprotobuf-dev protobuf-compiler
          libcli11-dev nlohmann-json3-dev libyaml-cpp-dev libpng-dev libjpeg62-turbo-dev
          libcairo2-dev libopencv-core-dev libopencv-imgproc-dev libopencv-calib3d-dev
          libopencv-contrib-dev
          python3 python3-dev python3-numpy pybind11-dev mypy)
if [[ "${1:-}" == "--tests" ]]; then
  packages+=(libgtest-dev libgmock-dev libbenchmark-dev libopencv-dev clang clang-format
             python3-pytest python3-opencv libexpat1-dev liburdfdom-tools liburdfdom-dev
             libkdl-parser-dev liborocos-kdl-dev)
fi
if [[ "${1:-}" == "--cross" ]]; then
  packages+=(g++-aarch64-linux-gnu qemu-user libc6:arm64 libstdc++6:arm64 libprotobuf-dev:arm64
             libgtest-dev:arm64 libgmock-dev:arm64)
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    [[ $(id -u) -ne 0 ]] && sudo_dpkg=(sudo) || sudo_dpkg=()
    "${sudo_dpkg[@]}" dpkg --add-architecture arm64
  fi
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if (( ${#missing[@]} )); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
