#!/bin/sh
# `cmake --install` into a DESTDIR gives the stripped static binary and the manual page.
set -eu
build=$1
cmake=$2
dest=$(mktemp -d "$build/install-check.XXXXXX")
trap 'rm -rf "$dest"' EXIT
DESTDIR=$dest "$cmake" --install "$build" --prefix /usr/local >/dev/null
binary=$dest/usr/local/bin/oskel_info
test -x "$binary"
test -f "$dest/usr/local/share/man/man1/oskel_info.1"
description=$(file -L "$binary")
case $description in
  *"statically linked"*", stripped"*) ;;
  *) echo "not a stripped static binary: $description"; exit 1 ;;
esac
"$binary" --help >/dev/null
echo "installed: bin/oskel_info (static, stripped), share/man/man1/oskel_info.1"
