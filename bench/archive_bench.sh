#!/usr/bin/env bash
# Archive stage against `tar | gzip -6` and against zlib level 6 alone on the same tar stream.
# Prints the best of three runs of each, the ratios, and the archive stage's peak RSS.
#
# usage: bench/archive_bench.sh [MIB of logs, default 256]
set -euo pipefail
cd "$(dirname "$0")/.."
size_mib=${1:-256}
source bench/lib.sh

python3 bench/gen_logs.py "$work/oskel-data" "$size_mib"
tar --format=gnu -cf "$work/stream.tar" -C "$work" oskel-data
cat "$work"/oskel-data/* "$work/stream.tar" >/dev/null   # page cache warm for everyone

tar_gzip=$(for _ in $(seq $runs); do
  seconds bash -c "tar -cf - -C '$work' oskel-data | gzip -6 > '$work/ref.tar.gz'"; done | best)
zlib=$(for _ in $(seq $runs); do "$bench" zlib "$work/stream.tar" | awk '{print $2}'; done | best)
ours_out=$(for _ in $(seq $runs); do "$bench" archive "$work/oskel-data"; done)
ours=$(echo "$ours_out" | awk '{print $2}' | best)
rss=$(echo "$ours_out" | awk '{print $4}' | sort -n | tail -n1)

printf 'logs:                 %d MiB in %d files\n' "$size_mib" "$(ls "$work/oskel-data" | wc -l)"
printf 'tar | gzip -6:        %.3f s\n' "$tar_gzip"
printf 'zlib level 6 alone:   %.3f s\n' "$zlib"
printf 'archive stage:        %.3f s   peak RSS %d KiB\n' "$ours" "$rss"
printf 'ratio to tar|gzip:    %.3f\n' "$(echo "$ours / $tar_gzip" | bc -l)"
printf 'ratio to zlib alone:  %.3f\n' "$(echo "$ours / $zlib" | bc -l)"
printf 'compressed: ours %d bytes, gzip %d bytes\n' \
  "$(stat -c %s "$work/oskel-data.tar.gz")" "$(stat -c %s "$work/ref.tar.gz")"
