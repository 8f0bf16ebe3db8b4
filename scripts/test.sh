#!/usr/bin/env bash
# Sets up what is missing, then builds and runs the whole test suite twice, each in a build
# directory of its own: once on the release build with warnings as errors (the static binary,
# the static-binary and format checks included), once under AddressSanitizer and
# UndefinedBehaviorSanitizer. Both passes always run; the script fails if either failed.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh test || exit 1
jobs=$(nproc)

# run_pass NAME BUILD_DIR CMAKE_OPTIONS...
run_pass() {
  local name=$1 dir=$2
  shift 2
  echo "=== $name pass ($dir)"
  cmake -S . -B "$dir" -DBUILD_TESTING=ON -DOSKEL_WERROR=ON "$@" >/dev/null &&
    cmake --build "$dir" -j "$jobs" &&
    ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$jobs"
}

failed=()
run_pass release build-test -DCMAKE_BUILD_TYPE=Release -DOSKEL_SANITIZE=OFF || failed+=(release)
run_pass sanitizer build-sanitize -DCMAKE_BUILD_TYPE=Debug -DOSKEL_SANITIZE=ON ||
  failed+=(sanitizer)

if ((${#failed[@]} > 0)); then
  echo "FAILED passes: ${failed[*]}" >&2
  exit 1
fi
echo "Both passes (release, sanitizer) passed."
