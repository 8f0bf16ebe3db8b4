#!/usr/bin/env bash
# Sets up what is missing, builds the static oskel_info and runs it once.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DOSKEL_TESTS=OFF >/dev/null
cmake --build build --target oskel_info -j "$(nproc)"
./build/oskel_info
