#!/usr/bin/env bash
# run.sh [aarch64]: installs what building needs (only what is missing), builds the static
# oskel_info and runs it once. Without an argument it is this host's build, in build/; with
# aarch64 the cross build for 64-bit ARM hosts, in build-aarch64/, run here under qemu-user.
# The tests and their dependencies are scripts/test.sh's business.
set -euo pipefail
cd "$(dirname "$0")/.."
case ${1:-} in
  '') dir=build toolchain=() emulator=() ;;
  aarch64)
    dir=build-aarch64 toolchain=(--toolchain cmake/aarch64-linux-gnu.cmake)
    emulator=(/usr/bin/qemu-aarch64-static)
    ;;
  *) echo "usage: $0 [aarch64]" >&2; exit 2 ;;
esac
bash scripts/setup.sh build ${1:+"$1"}
# The toolchain file is read on the directory's first configure only; CMake warns on a later one
# that it went unused.
if grep -qs '^CMAKE_TOOLCHAIN_FILE:' "$dir/CMakeCache.txt"; then toolchain=(); fi
# Every option is given, so whatever an earlier configure of the directory chose does not carry
# over.
cmake -S . -B "$dir" "${toolchain[@]}" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DOSKEL_WERROR=OFF -DOSKEL_SANITIZE=OFF >/dev/null
cmake --build "$dir" --target oskel_info -j "$(nproc)"
"${emulator[@]}" "./$dir/oskel_info"
