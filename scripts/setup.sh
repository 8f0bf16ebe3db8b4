#!/usr/bin/env bash
# setup.sh build|test [aarch64] | bench | fuzz: installs what is missing on Debian 12, quietly
# (one summary line; apt's own output only when it fails).
#   build    what building and running oskel_info needs: the compiler, CMake, zlib
#   test     that, and what the test suite, the packages, the manual-page lint, the format check
#            and the playbook test need
#   bench    what the benchmarks in bench/ need: building, python3, git (three of them build an
#            earlier commit from the clone's history), and what parallel_bench.sh compares with
#            and measures by: pigz, bsdtar, GNU time, taskset and unshare
#   fuzz     what bench/fuzz.sh needs: clang-19 and its libFuzzer and sanitizer runtimes
#   aarch64  after build or test, also the same for the aarch64 cross build
#            (cmake/aarch64-linux-gnu.cmake): the cross compiler and its static C library, arm64
#            zlib (and GoogleTest, for test) from Debian's multiarch archive, and qemu-user to run
#            what it builds. arm64 is added to dpkg's architectures the first time.
set -euo pipefail

build=(
  g++ make cmake libc6-dev zlib1g-dev
)
test=(
  "${build[@]}"
  googletest libgtest-dev libgmock-dev                        # unit tests
  python3 tar gzip libarchive-tools file util-linux procps    # black-box tests
  busybox                                                     # black-box: a tar without sparse members
  strace                                                      # black-box: the archive's flush
  clang-format-14                                             # the pinned format check
  rpm rpmlint lintian                                         # packages and their lint
  mandoc groff-base                                           # manual page lint
  ansible-core                                                # the playbook test
)
bench=(
  "${build[@]}" python3 git
  pigz libarchive-tools time util-linux                       # parallel_bench.sh
)
fuzz=(
  clang-19 libclang-rt-19-dev
)
aarch64_build=(
  g++-aarch64-linux-gnu libc6-dev-arm64-cross zlib1g-dev:arm64 qemu-user-static
)
aarch64_test=(
  "${aarch64_build[@]}" libgtest-dev:arm64
)

usage() { echo "usage: $0 build|test [aarch64] | bench | fuzz" >&2; exit 2; }
case ${1:-} in
  build) packages=("${build[@]}") ;;
  test) packages=("${test[@]}") ;;
  bench) packages=("${bench[@]}") ;;
  fuzz) packages=("${fuzz[@]}") ;;
  *) usage ;;
esac
case ${2:-} in
  '') ;;
  aarch64)
    case $1 in
      build) packages+=("${aarch64_build[@]}") ;;
      test) packages+=("${aarch64_test[@]}") ;;
      *) usage ;;
    esac
    # The :arm64 packages come from dpkg's multiarch support; the apt-get update below, which
    # runs since they are missing then, fetches arm64's package lists too.
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
      echo "Adding arm64 to dpkg's architectures (dpkg --add-architecture arm64)"
      dpkg --add-architecture arm64
    fi
    ;;
  *) usage ;;
esac

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
    missing+=("$package")
  fi
done
((${#missing[@]} > 0)) || exit 0

log=$(mktemp)
trap 'rm -f "$log"' EXIT
quietly() {
  "$@" >"$log" 2>&1 || { cat "$log" >&2; echo "failed: $*" >&2; return 1; }
}
export DEBIAN_FRONTEND=noninteractive
quietly apt-get update -q
# apt's plan names a package already there with its old version in brackets: an upgrade, which
# adds nothing.
plan=$(apt-get install -s --no-install-recommends "${missing[@]}")
added=$(grep -c '^Inst [^ ]* (' <<<"$plan" || true)
upgraded=$(grep -c '^Inst [^ ]* \[' <<<"$plan" || true)
summary="$added new packages with what they depend on"
((upgraded == 0)) || summary+=", $upgraded already there to upgrade"
echo "Installing ${missing[*]} ($summary)"
quietly apt-get install -y -q --no-install-recommends -o Dpkg::Use-Pty=0 "${missing[@]}"
