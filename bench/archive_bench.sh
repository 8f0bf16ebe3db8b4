#!/usr/bin/env bash
# Archive stage against `tar | gzip -6` and against zlib level 6 alone on the same tar stream,
# on two payloads: pure text logs, and a logrotate-like mix (30 % text, 70 % .gz rotations).
# Prints the best of three runs of each, the ratios, and the archive stage's peak RSS. A step
# that fails says which, for which payload, and where; the free space is checked first.
#
# usage: bench/archive_bench.sh [MIB of logs, default 256]
set -euo pipefail
cd "$(dirname "$0")/.."
size_mib=${1:-256}

# Both payloads stay until the end, each its logs, their tar stream and two archives: the mixed
# one, mostly compressed rotations, takes about 3.5 times its size, the text one 2.5.
need_mib=$((size_mib * 6))
free_mib=$(df -Pm /var/tmp | awk 'NR == 2 { print $4 }')
if ((free_mib < need_mib)); then
  echo "archive_bench: needs about $need_mib MiB free in /var/tmp for $size_mib MiB of logs," \
    "and $free_mib MiB are; free some, or give a smaller size: bench/archive_bench.sh MIB" >&2
  exit 1
fi
source bench/lib.sh

# fail STEP: says which step failed, where, and how much space is left there; then stops (the
# whole script, also from inside a command substitution: its failure ends the script).
fail() {
  echo "archive_bench: $1 failed in $work ($(df -Pm "$work" | awk 'NR == 2 { print $4 }') MiB" \
    "free there)" >&2
  exit 1
}

# payload NAME GEN_LOGS_ARGS...
payload() {
  local name=$1 dir="$work/$1/oskel-data"
  shift
  python3 bench/gen_logs.py "$dir" "$size_mib" "$@" || fail "$name: writing the logs to $dir"
  tar --format=gnu -cf "$work/$name/stream.tar" -C "$work/$name" oskel-data ||
    fail "$name: writing the tar stream $work/$name/stream.tar"
  cat "$dir"/* "$work/$name/stream.tar" >/dev/null   # page cache warm for everyone

  local tar_gzip zlib ours_out ours rss
  tar_gzip=$(for _ in $(seq $runs); do
    seconds bash -o pipefail -c \
      "tar -cf - -C '$work/$name' oskel-data | gzip -6 > '$work/$name/ref.tar.gz'" ||
      fail "$name: tar | gzip -6 into $work/$name/ref.tar.gz"
  done | best)
  zlib=$(for _ in $(seq $runs); do
    "$bench" zlib "$work/$name/stream.tar" || fail "$name: zlib alone on $work/$name/stream.tar"
  done | awk '{print $2}' | best)
  ours_out=$(for _ in $(seq $runs); do
    "$bench" archive "$dir" || fail "$name: the archive stage into $dir.tar.gz"
  done)
  ours=$(echo "$ours_out" | awk '{print $2}' | best)
  rss=$(echo "$ours_out" | awk '{print $4}' | sort -n | tail -n1)
  tar -xzOf "$dir.tar.gz" >/dev/null || fail "$name: reading $dir.tar.gz back"

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
