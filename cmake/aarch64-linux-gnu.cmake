# Toolchain for 64-bit ARM Linux, with Debian's cross compiler (g++-aarch64-linux-gnu, whose
# libc6-dev-arm64-cross has the static C library) and arm64 libraries from Debian's multiarch
# archive (zlib1g-dev:arm64, libgtest-dev:arm64); scripts/setup.sh aarch64 installs them all:
#
#   cmake -S . -B build-aarch64 --toolchain cmake/aarch64-linux-gnu.cmake
#
# Programs built for aarch64 (the unit tests, the tool under the black-box tests) run on the
# build host under qemu-user, called explicitly rather than through binfmt_misc, which a build
# host need not have registered. The tool alone builds without qemu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Libraries and CMake packages are looked up in the multiarch directories of this architecture
# (/usr/lib/aarch64-linux-gnu), never in the build host's.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
if(EXISTS /usr/bin/qemu-aarch64-static)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-aarch64-static)
endif()
