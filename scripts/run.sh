#!/usr/bin/env bash
# Sets up what is missing, builds the static oskel_info in build/ and runs it once.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# Every option is given, so whatever an earlier configure of build/ chose does not carry over.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DOSKEL_TESTS=OFF -DOSKEL_WERROR=OFF \
  -DOSKEL_SANITIZE=OFF >/dev/null
cmake --build build --target oskel_info -j "$(nproc)"
./build/oskel_info
