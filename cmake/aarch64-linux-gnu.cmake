# Cross build for 64-bit ARM Linux with Debian's cross compiler and the arm64
# development packages of multiarch (dpkg --add-architecture arm64):
#   cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#         -DCAMERA_PARAMETERS_TOOLS=OFF
# Programs of the build (the build-time head fit, the tests) run under
# qemu-aarch64 through cmake/qemu-aarch64.sh (scripts/install-deps.sh --cross
# installs all of it).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# The arm64 packages live in the host's own tree, under the multiarch paths
# (/usr/lib/aarch64-linux-gnu); headers that are the same for every
# architecture (Eigen's) in /usr/include. Programs, protoc among them, are
# the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)

# Runs the build's arm64 programs: the build-time fit, test discovery, ctest.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/qemu-aarch64.sh)
