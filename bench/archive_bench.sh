#!/usr/bin/env bash
# Archive stage against `tar | gzip -6` and against zlib level 6 alone on the same tar stream,
# on two payloads: pure text logs, and a logrotate-like mix (30 % text, 70 % .gz rotations).
# Prints the best of three runs of each, the ratios, and the archive stage's peak RSS.
#
# usage: bench/archive_bench.sh [MIB of logs, default 256]
set -euo pipefail
cd "$(dirname "$0")/.."
size_mib=${1:-256}
source bench/lib.sh

# payload NAME GEN_LOGS_ARGS...
payload() {
  local name=$1 dir="$work/$1/oskel-data"
  shift
  python3 bench/gen_logs.py "$dir" "$size_mib" "$@"
  tar --format=gnu -cf "$work/$name/stream.tar" -C "$work/$name" oskel-data
  cat "$dir"/* "$work/$name/stream.tar" >/dev/null   # page cache warm for everyone

  local tar_gzip zlib ours_out ours rss
  tar_gzip=$(for _ in $(seq $runs); do
    seconds bash -c "tar -cf - -C '$work/$name' oskel-data | gzip -6 > '$work/$name/ref.tar.gz'"
  done | best)
  zlib=$(for _ in $(seq $runs); do "$bench" zlib "$work/$name/stream.tar" | awk '{print $2}'; done | best)
  ours_out=$(for _ in $(seq $runs); do "$bench" archive "$dir"; done)
  ours=$(echo "$ours_out" | awk '{print $2}' | best)
  rss=$(echo "$ours_out" | awk '{print $4}' | sort -n | tail -n1)
  tar -xzOf "$dir.tar.gz" >/dev/null   # reads back

  printf '== %s: %d MiB in %d files\n' "$name" "$size_mib" "$(ls "$dir" | wc -l)"
  printf 'tar | gzip -6:        %.3f s\n' "$tar_gzip"
  printf 'zlib level 6 alone:   %.3f s\n' "$zlib"
  printf 'archive stage:        %.3f s   peak RSS %d KiB\n' "$ours" "$rss"
  printf 'ratio to tar|gzip:    %s\n' "$(ratio "$ours" "$tar_gzip")"
  printf 'ratio to zlib alone:  %s\n' "$(ratio "$ours" "$zlib")"
  printf 'compressed: ours %d bytes, gzip %d bytes\n' \
    "$(stat -c %s "$dir.tar.gz")" "$(stat -c %s "$work/$name/ref.tar.gz")"
}

payload text
payload mixed 8 mixed
