#!/usr/bin/env bash
# Copying log files with copy_file (kernel-side copy) against `cp` of the same files.
# Prints the best of three runs of each and their ratio, and what the disk-margin check that
# copies and the archive make every few MiB costs on that file system.
#
# usage: bench/copy_bench.sh [MIB of logs, default 1024]
set -euo pipefail
cd "$(dirname "$0")/.."
size_mib=${1:-1024}
source bench/lib.sh

python3 bench/gen_logs.py "$work/logs" "$size_mib"
cat "$work"/logs/* >/dev/null

cp_time=$(for _ in $(seq $runs); do
  rm -rf "$work/dst"; mkdir "$work/dst"; sync
  seconds cp "$work"/logs/* "$work/dst/"; done | best)
ours=$(for _ in $(seq $runs); do
  rm -rf "$work/dst"; mkdir "$work/dst"; sync
  "$bench" copy "$work/logs" "$work/dst" | awk '{print $2}'; done | best)
cmp "$work/logs/oskel.log" "$work/dst/oskel.log"

printf 'logs:            %d MiB in %d files\n' "$size_mib" "$(ls "$work/logs" | wc -l)"
printf 'cp:              %.3f s\n' "$cp_time"
printf 'copy_file:       %.3f s\n' "$ours"
printf 'ratio to cp:     %s\n' "$(ratio "$ours" "$cp_time")"
check_ns=$("$bench" margin "$work" | awk '/ns_per_check/ {print $2}')
printf 'margin check:    %s ns each; a copy checks every 4 MiB, the archive every 256 KiB written\n' \
  "$check_ns"
