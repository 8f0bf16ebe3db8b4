#!/usr/bin/env bash
# Whole runs on a copytruncated log, a hole of 1 GiB and one line (the largest hole a run stores
# as zeros; a larger one is a sparse member), with each binary given (this tree's and an earlier
# tree's, say): the best wall seconds of three runs and the archive's size.
# Each run is in a private mount namespace whose /opt holds nothing but the configuration that
# names the log, so the host's /opt is left alone; the package tool is the host's own. Needs root
# and unshare (util-linux); works in a directory under /var/tmp that it removes when it ends (an
# earlier tree's archive of the hole takes about 2 MiB per GiB there).
#
# usage: bench/hole_run_bench.sh BINARY... (HOLE_GIB=N for another size of hole)
set -euo pipefail
if [[ $# -eq 0 ]]; then
  echo "usage: bench/hole_run_bench.sh BINARY..." >&2
  exit 2
fi
work=$(mktemp -d /var/tmp/oskel-hole-run.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/logs" "$work/tmp"
truncate -s "${HOLE_GIB:-1}G" "$work/logs/agent.log"
echo "E1234 the last line" >>"$work/logs/agent.log"

# One run of the binary $2 in its namespace, logs and TMPDIR under $1: its wall seconds.
# shellcheck disable=SC2016
one_run='mount -t tmpfs tmpfs /opt && mkdir -p /opt/keldra/etc &&
  printf "{\"logging\": {\"log_file\": \"%s/logs/agent.log\"}}" "$1" \
    >/opt/keldra/etc/keldra-oskel.cfg &&
  start=$(date +%s.%N) && TMPDIR=$1/tmp "$2" >/dev/null 2>&1 && end=$(date +%s.%N) &&
  awk -v s="$start" -v e="$end" "BEGIN { printf \"%.3f\n\", e - s }"'

printf '%-50s %8s %14s\n' binary "wall s" "archive bytes"
for binary in "$@"; do
  binary=$(realpath "$binary")
  best=$(for _ in 1 2 3; do
    rm -rf "${work:?}/tmp/"*
    sync
    unshare --mount --propagation private bash -c "$one_run" _ "$work" "$binary"
  done | sort -g | head -n1)
  archive=$work/tmp/oskel-data.tar.gz
  gzip -t "$archive"
  printf '%-50s %8s %14s\n' "$binary" "$best" "$(stat -c %s "$archive")"
done
