#!/usr/bin/env bash
# The archive stage on a log that is one big hole (a sparse file of 1 GiB and one line, the
# largest hole a run stores as zeros rather than as a sparse member): this tree against an
# earlier commit (default a8e0e50, which deflated the hole's zeros at level 6, or stored them
# raw when the file began with a compressed format's magic), in the same run.
# Two logs: a plain one, and one whose first two bytes are 1f 8b. Prints the best CPU seconds
# (user + system) of three runs of each, the hole's MiB per CPU second and the archive's size.
# The earlier commit writes the second archive out whole: it needs that much room in /var/tmp.
# Needs bash, awk and gzip (for the read-back check).
#
# usage: bench/hole_bench.sh [BASE COMMIT, default a8e0e50] [GIB OF HOLE, default 1]
set -euo pipefail
cd "$(dirname "$0")/.."
base_commit=${1:-a8e0e50}
hole_gib=${2:-1}
source bench/lib.sh

build_base "$base_commit"

# CPU seconds (user + system) of one command, its output discarded.
cpu_seconds() {
  local TIMEFORMAT='%3U %3S' times
  times=$({ time "$@" >/dev/null 2>&1; } 2>&1)
  awk '{ print $1 + $2 }' <<<"$times"
}

hole=$((hole_gib << 30))
printf '%-6s %-5s %9s %12s %14s %8s\n' log tree "CPU s" "MiB/CPU s" "archive bytes" ratio
for log in plain magic; do
  dir=$work/$log/oskel-data
  mkdir -p "$dir"
  [[ $log == magic ]] && printf '\x1f\x8b' >"$dir/agent.log"
  truncate -s "$hole" "$dir/agent.log"
  echo "E1234 the last line" >>"$dir/agent.log"
  tar_bytes=$(($(stat -c %s "$dir/agent.log") + 2048))
  for tree in base ours; do
    driver=$bench
    [[ $tree == base ]] && driver=$base_bench
    cpu=$(for _ in $(seq $runs); do cpu_seconds "$driver" archive "$dir"; done | best)
    [[ $tree == ours ]] && gzip -t "$dir.tar.gz"
    size=$(stat -c %s "$dir.tar.gz")
    # The timer counts milliseconds: a run under one is shown at 1 ms.
    awk -v name="$log" -v tree="$tree" -v cpu="$cpu" -v hole="$hole" -v size="$size" \
      -v tar_bytes="$tar_bytes" 'BEGIN {
        if (cpu < 0.001) cpu = 0.001
        printf "%-6s %-5s %9.3f %12.0f %14.0f %6.0f:1\n", name, tree, cpu, hole / 1048576 / cpu,
          size, tar_bytes / size
      }'
  done
  rm -f "$dir.tar.gz"
done
