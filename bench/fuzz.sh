#!/usr/bin/env bash
# Fuzzes the path from configuration text to the log directory and name for a bounded time.
# Needs a clang new enough for std::expected (clang-19 from Debian 12), installed if missing.
#
# usage: bench/fuzz.sh [seconds, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

missing=()
for package in clang-19 libclang-rt-19-dev nlohmann-json3-dev; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done
if ((${#missing[@]} > 0)); then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

mkdir -p build-fuzz/corpus
clang++-19 -std=c++23 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I. \
  bench/fuzz/log_location_fuzz.cpp common/collectors/log_location.cpp common/json_text.cpp \
  common/utf8.cpp common/error.cpp -o build-fuzz/log_location_fuzz
# Work on a copy: the repository keeps only the small seed corpus.
cp bench/fuzz/corpus/* build-fuzz/corpus/
./build-fuzz/log_location_fuzz -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 \
  -print_final_stats=1 build-fuzz/corpus
