#!/usr/bin/env bash
# Sets up what is missing, then builds and runs the whole test suite three times, each in a
# build directory of its own: once on the release build with warnings as errors (the static
# binary, its packages, the static-binary and format checks included), once under
# AddressSanitizer and UndefinedBehaviorSanitizer, and once on the aarch64 cross build (release,
# warnings as errors, its packages too), whose unit tests and binary run under qemu-user. All
# passes always run; the script fails if any failed. Each pass ends with the tests it skipped
# and why, and the script with how many black-box cases each pass ran and skipped.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh test aarch64 || exit 1
jobs=$(nproc)

# run_pass NAME BUILD_DIR CMAKE_OPTIONS...
run_pass() {
  local name=$1 dir=$2 start=$SECONDS status
  shift 2
  # CMake reads a toolchain file on a build directory's first configure only, and warns on every
  # later one that the option went unused.
  if [[ ${1:-} == --toolchain ]] && grep -qs '^CMAKE_TOOLCHAIN_FILE:' "$dir/CMakeCache.txt"; then
    shift 2
  fi
  echo "=== $name pass ($dir)"
  rm -f "$dir/ctest-output.log" "$dir/Testing/Temporary/LastTest.log"
  cmake -S . -B "$dir" -DBUILD_TESTING=ON -DOSKEL_WERROR=ON "$@" >/dev/null &&
    cmake --build "$dir" -j "$jobs" &&
    ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$jobs" \
      -O "$dir/ctest-output.log"
  status=$?
  # Every skip with its reason, GoogleTest's and the black-box cases' inside passing entries too,
  # then how many black-box cases ran: all of them skip where no mount namespace can be made.
  python3 scripts/list_skips.py "$dir" "$dir/ctest-output.log" | tee "$dir/skips.txt"
  black_box+=("$name $(sed -n 's/^Black-box cases: //p' "$dir/skips.txt")")
  echo "=== $name pass: $((SECONDS - start)) s"
  return $status
}

failed=() black_box=()
run_pass release build-test -DCMAKE_BUILD_TYPE=Release -DOSKEL_SANITIZE=OFF || failed+=(release)
run_pass sanitizer build-sanitize -DCMAKE_BUILD_TYPE=Debug -DOSKEL_SANITIZE=ON ||
  failed+=(sanitizer)
run_pass aarch64 build-test-aarch64 --toolchain cmake/aarch64-linux-gnu.cmake \
  -DCMAKE_BUILD_TYPE=Release -DOSKEL_SANITIZE=OFF || failed+=(aarch64)

if ((${#failed[@]} > 0)); then
  echo "FAILED passes: ${failed[*]}" >&2
else
  echo "All three passes (release, sanitizer, aarch64) passed."
fi
printf -v counts '%s; ' "${black_box[@]}"
echo "Black-box cases per pass: ${counts%; }"
((${#failed[@]} == 0))
