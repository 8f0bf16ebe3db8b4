#!/bin/sh
# The manual page lints clean with groff and mandoc: any message fails.
set -eu
page=$1
out=$(groff -man -ww -z "$page" 2>&1; mandoc -T lint "$page" 2>&1) || true
if [ -n "$out" ]; then
  printf '%s\n' "$out"
  exit 1
fi
echo "clean: $page"
