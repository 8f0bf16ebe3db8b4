#!/usr/bin/env bash
# Installs what building needs (only what is missing), builds the static oskel_info in build/
# and runs it once. The tests and their dependencies are scripts/test.sh's business.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build
# Every option is given, so whatever an earlier configure of build/ chose does not carry over.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DOSKEL_WERROR=OFF \
  -DOSKEL_SANITIZE=OFF >/dev/null
cmake --build build --target oskel_info -j "$(nproc)"
./build/oskel_info
