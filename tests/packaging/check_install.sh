#!/bin/sh
# check_install.sh BUILD CMAKE MACHINE [EMULATOR...]
# `cmake --install` into a DESTDIR gives the stripped static binary and the manual page. The
# binary is hardened: a static PIE whose relocations are read-only before main runs (full
# RELRO: a GNU_RELRO segment and BIND_NOW), for MACHINE as file(1) names it (x86-64,
# ARM aarch64). A cross build's binary runs under EMULATOR.
set -eu
build=$1
cmake=$2
machine=$3
shift 3
dest=$(mktemp -d "$build/install-check.XXXXXX")
trap 'rm -rf "$dest"' EXIT
DESTDIR=$dest "$cmake" --install "$build" --prefix /usr/local >/dev/null
binary=$dest/usr/local/bin/oskel_info
test -x "$binary"
test -f "$dest/usr/local/share/man/man1/oskel_info.1"
description=$(file -L "$binary")
case $description in
  *", $machine, "*"static-pie linked"*", stripped"*) ;;
  *) echo "not a stripped static PIE for $machine: $description"; exit 1 ;;
esac
readelf -lW "$binary" | grep -q GNU_RELRO || { echo "no GNU_RELRO segment"; exit 1; }
readelf -dW "$binary" | grep -q 'FLAGS.*BIND_NOW\|FLAGS_1.*NOW' || { echo "no BIND_NOW"; exit 1; }
if readelf -dW "$binary" | grep -q NEEDED; then echo "needs shared libraries"; exit 1; fi
"$@" "$binary" --help >/dev/null
echo "installed: bin/oskel_info ($machine static PIE, full RELRO, stripped), share/man/man1/oskel_info.1"
