#!/usr/bin/env bash
# Installs the Debian packages the build needs, when they are missing.
#   scripts/install-deps.sh          libraries and tools to build and run camcal
#   scripts/install-deps.sh --tests  also GoogleTest, Google Benchmark, OpenCV
#                                    (a reference in tests) and clang (fuzzing)
set -euo pipefail

packages=(cmake make g++ pkg-config libeigen3-dev libprotobuf-dev protobuf-compiler
          libcli11-dev nlohmann-json3-dev libyaml-cpp-dev)
if [[ "${1:-}" == "--tests" ]]; then
  packages+=(libgtest-dev libgmock-dev libbenchmark-dev libopencv-dev clang)
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
