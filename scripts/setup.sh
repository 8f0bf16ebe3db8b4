#!/usr/bin/env bash
# setup.sh build|test: installs what is missing on Debian 12, quietly (one summary line; apt's
# own output only when it fails).
#   build  what building and running oskel_info needs: the compiler, CMake, zlib, nlohmann-json
#   test   that, and what the test suite, the packages, the manual-page lint, the format check
#          and the playbook test need
set -euo pipefail

build=(
  g++ make cmake libc6-dev zlib1g-dev nlohmann-json3-dev
)
test=(
  "${build[@]}"
  googletest libgtest-dev libgmock-dev                        # unit tests
  python3 tar gzip libarchive-tools file util-linux procps    # black-box tests
  clang-format-14                                             # the pinned format check
  rpm rpmlint lintian                                         # packages and their lint
  mandoc groff-base                                           # manual page lint
  ansible-core                                                # the playbook test
)

case ${1:-} in
  build) packages=("${build[@]}") ;;
  test) packages=("${test[@]}") ;;
  *) echo "usage: $0 build|test" >&2; exit 2 ;;
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
count=$(apt-get install -s --no-install-recommends "${missing[@]}" | grep -c '^Inst' || true)
echo "Installing ${missing[*]} ($count packages with what they depend on)"
quietly apt-get install -y -q --no-install-recommends -o Dpkg::Use-Pty=0 "${missing[@]}"
