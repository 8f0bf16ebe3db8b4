#!/usr/bin/env bash
# Installs what building and testing oskel_info need on Debian 12, only what is missing.
set -euo pipefail

packages=(
  g++ make cmake            # build
  zlib1g-dev nlohmann-json3-dev libc6-dev
  googletest libgtest-dev libgmock-dev
  python3 tar gzip libarchive-tools file util-linux procps   # black-box tests
  clang-format-14                                             # the pinned format check
  rpm lintian mandoc groff-base ansible-core                  # packages, manual page, playbook
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} > 0)); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
