#!/usr/bin/env bash
# Runs each libFuzzer target for a bounded time and prints its final statistics:
#   log_location  configuration text to log directory and log file name
#   release       reading /etc/os-release and /etc/lsb-release for a key
#   tar_header    the tar header writer (numbers, checksum, long names)
# Needs a clang new enough for std::expected (clang-19 from Debian 12): scripts/setup.sh fuzz
# installs it when it is missing, in one line.
#
# usage: bench/fuzz.sh [seconds per target, default 60] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
((${#targets[@]} > 0)) || targets=(log_location release tar_header)

bash scripts/setup.sh fuzz

declare -A sources=(
  [log_location]="common/collectors/log_location.cpp common/collectors/log_setting.cpp common/collectors/json_*.cpp common/file_io.cpp common/access/disk_margin.cpp common/process.cpp"
  [release]="common/collectors/system.cpp common/file_io.cpp common/access/disk_margin.cpp common/process.cpp"
  [tar_header]="common/archive/tar_header.cpp"
)
mkdir -p build-fuzz
for target in "${targets[@]}"; do
  # shellcheck disable=SC2086  # the source lists split on purpose
  clang++-19 -std=c++23 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -I. "bench/fuzz/${target}_fuzz.cpp" ${sources[$target]} common/utf8.cpp common/error.cpp \
    -o "build-fuzz/${target}_fuzz"
  # Work on a copy: the repository keeps only the small seed corpus.
  rm -rf "build-fuzz/${target}_corpus"
  cp -r "bench/fuzz/${target}_corpus" "build-fuzz/${target}_corpus"
  echo "=== $target"
  "./build-fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 \
    -print_final_stats=1 "build-fuzz/${target}_corpus" 2>&1 | grep -E '^stat::|ERROR|SUMMARY|Done'
done
