#!/usr/bin/env bash
# The archive on every CPU against one, against `cp -a` + `tar | pigz -6` and `cp -a` +
# bsdtar, and against an earlier commit's single thread (default a9b7d25), on 256 MiB of text
# logs and on 256 MiB of logrotate-like ones (bench/gen_logs.py). Rounds alternate the
# contestants; each figure is the median of three rounds: wall seconds, CPU seconds (user +
# system, every thread and child) and the largest peak RSS of one process.
#
#   run one / run all    a whole run of this tree's oskel_info under `taskset -c 0` / on every
#                        CPU, in a private mount namespace whose /opt holds only the
#                        configuration; the package tool is a shell stub (exit 0)
#   run base             the same with the earlier commit's oskel_info
#   cp+tar|pigz          cp -a of the logs, tar -c | pigz -6 -p <CPUs>, sync of the archive,
#                        rm -rf of the copy (a run flushes its archive and removes its copy too)
#   cp+bsdtar            the same with bsdtar -czf
#   stage one / all      the archive stage alone (oskel_bench archive) on one CPU / every CPU
#   stage base           the earlier commit's archive stage (single thread)
# Then the busy host: as many busy loops as CPUs at normal priority, and the two stages that
# matter there, stage base and stage all, in alternated rounds.
# Needs root (unshare), pigz, bsdtar, GNU time; scripts/setup.sh bench installs them. About 5
# times the size of the logs in /var/tmp.
#
# usage: bench/parallel_bench.sh [MIB of logs, default 256] [BASE COMMIT, default a9b7d25]
set -euo pipefail
cd "$(dirname "$0")/.."
size_mib=${1:-256}
base_commit=${2:-a9b7d25}
need_mib=$((size_mib * 5))
free_mib=$(df -Pm /var/tmp | awk 'NR == 2 { print $4 }')
if ((free_mib < need_mib)); then
  echo "parallel_bench: needs about $need_mib MiB free in /var/tmp and $free_mib MiB are" >&2
  exit 1
fi
source bench/lib.sh
cmake --build build-bench --target oskel_info -j "$(nproc)" >/dev/null
build_base "$base_commit"
cmake --build "$work/base/build" --target oskel_info -j "$(nproc)" >/dev/null
ours_run=$PWD/build-bench/oskel_info
base_run=$work/base/build/oskel_info
cpus=$(nproc)
mkdir "$work/stub"
printf '#!/bin/sh\nexit 0\n' >"$work/stub/dpkg-query"
chmod 755 "$work/stub" "$work/stub/dpkg-query"

# measure LABEL CMD...: appends "LABEL wall cpu rss_kib" to $work/results.
measure() {
  local label=$1
  shift
  "$@" >/dev/null 2>&1 || {
    echo "parallel_bench: $label failed: $(cat "$work/time")" >&2
    exit 1
  }
  tail -n1 "$work/time" |
    awk -v l="$label" '{ printf "%s %s %.2f %d\n", l, $1, $2 + $3, $4 }' >>"$work/results"
}
timed() { /usr/bin/time -o "$work/time" -f "%e %U %S %M" "$@"; }

# whole_run BINARY [AFFINITY...]: a run of BINARY on $logs, TMPDIR $work/tmp, in a private mount
# namespace whose /opt holds the configuration alone; the affinity command (taskset -c 0) is
# inherited by everything inside.
# shellcheck disable=SC2016
whole_run() {
  local binary=$1
  shift
  rm -rf "${work:?}/tmp"
  mkdir -m 700 "$work/tmp"
  "$@" unshare --mount --propagation private bash -c '
    set -e
    mount -t tmpfs tmpfs /opt
    mkdir -p /opt/keldra/etc
    printf "{\"logging\": {\"log_file\": \"%s/oskel.log\"}}" "$1" >/opt/keldra/etc/keldra-oskel.cfg
    TMPDIR=$2/tmp PATH=$2/stub:/usr/bin:/bin \
      exec /usr/bin/time -o "$2/time" -f "%e %U %S %M" "$3"' _ "$logs" "$work" "$binary"
}

# peer bsdtar|pigz: cp -a, the archive, its sync, and the copy removed, as a run does.
peer() {
  rm -rf "${work:?}/peer"
  mkdir "$work/peer"
  cp -a "$logs" "$work/peer/oskel-data"
  if [[ $1 == bsdtar ]]; then
    bsdtar -czf "$work/peer/out.tar.gz" -C "$work/peer" oskel-data
  else
    tar -cf - -C "$work/peer" oskel-data | pigz -6 -p "$cpus" >"$work/peer/out.tar.gz"
  fi
  sync "$work/peer/out.tar.gz"
  rm -rf "$work/peer/oskel-data"
}
export -f peer

median() {  # median LABEL FIELD (2 wall, 3 CPU)
  awk -v l="$1" -v f="$2" '$1 == l { print $f }' "$work/results" | sort -g |
    awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

report() {
  local label
  for label in "$@"; do
    printf '%-13s %8.2f %8.2f %9s\n' "$label" "$(median "$label" 2)" "$(median "$label" 3)" \
      "$(awk -v l="$label" '$1 == l && $4 > r { r = $4 } END { printf "%.1f", r / 1024 }' \
        "$work/results")"
  done
}

payload() {  # payload NAME GEN_LOGS_ARGS...
  local name=$1
  shift
  logs=$work/$name/logs
  python3 bench/gen_logs.py "$logs" "$size_mib" "$@"
  cp -a "$logs" "$work/$name/oskel-data"
  cat "$logs"/* "$work/$name/oskel-data"/* >/dev/null  # page cache warm for everyone
  : >"$work/results"
  export work logs cpus
  for _ in $(seq $runs); do
    measure run_one whole_run "$ours_run" taskset -c 0
    measure run_all whole_run "$ours_run"
    measure run_base whole_run "$base_run"
    measure cp+tar\|pigz timed bash -c 'peer pigz'
    measure cp+bsdtar timed bash -c 'peer bsdtar'
    measure stage_base timed "$base_bench" archive "$work/$name/oskel-data"
    measure stage_one timed taskset -c 0 "$bench" archive "$work/$name/oskel-data"
    measure stage_all timed "$bench" archive "$work/$name/oskel-data"
  done
  tar -xzOf "$work/$name/oskel-data.tar.gz" >/dev/null
  printf '== %s: %d MiB, %d CPUs, load average %s\n' "$name" "$size_mib" "$cpus" \
    "$(cut -d' ' -f1-3 /proc/loadavg)"
  printf '%-13s %8s %8s %9s\n' "" "wall s" "CPU s" "RSS MiB"
  report run_one run_all run_base cp+tar\|pigz cp+bsdtar stage_one stage_all stage_base
  ratios
  if [[ $name == text ]]; then busy; fi
  rm -rf "${work:?}/$name"
}

ratios() {
  printf 'stage all / stage one (wall):       %s (target <= 0.6)\n' \
    "$(ratio "$(median stage_all 2)" "$(median stage_one 2)")"
  printf 'run all / cp+tar|pigz (wall):       %s (target <= 1.0)\n' \
    "$(ratio "$(median run_all 2)" "$(median cp+tar\|pigz 2)")"
  printf 'stage all / stage base (CPU):       %s (target <= 1.05)\n' \
    "$(ratio "$(median stage_all 3)" "$(median stage_base 3)")"
  printf 'run all / run base (CPU):           %s\n' \
    "$(ratio "$(median run_all 3)" "$(median run_base 3)")"
}

busy() {
  local pids=() _
  for _ in $(seq "$cpus"); do
    (while :; do :; done) &
    pids+=($!)
  done
  trap 'kill "${pids[@]}" 2>/dev/null; rm -rf "$work"' EXIT
  : >"$work/results"
  for _ in $(seq $runs); do
    measure busy_base timed "$base_bench" archive "$work/text/oskel-data"
    measure busy_all timed "$bench" archive "$work/text/oskel-data"
  done
  kill "${pids[@]}"
  wait "${pids[@]}" 2>/dev/null || true
  trap 'rm -rf "$work"' EXIT
  printf '== busy host (%d busy loops), archive stage on the text logs\n' "$cpus"
  report busy_base busy_all
  printf 'busy all / busy base (wall):        %s (target <= 1.0)\n' \
    "$(ratio "$(median busy_all 2)" "$(median busy_base 2)")"
}

payload text
payload mixed 8 mixed
