#!/usr/bin/env bash
# Reading the log setting from a 12 MiB configuration: this tree's log stage against the one of
# an earlier commit (default a8e0e50, the last whose reader was one class with the look-up; its
# benchmark driver must have the `logs` mode), in the same run. Two configurations: many small members with
# the setting last, and one 12 MiB string before the setting. Prints the best of three runs of
# each and the stage's peak RSS (of the whole benchmark process).
#
# usage: bench/config_bench.sh [BASE COMMIT, default a8e0e50]
set -euo pipefail
cd "$(dirname "$0")/.."
base_commit=${1:-a8e0e50}
source bench/lib.sh

build_base "$base_commit"

note "writing two 12 MiB configurations, then reading each with both trees, $runs times"
mkdir "$work/logs" "$work/out"
python3 - "$work" <<'EOF'
import json, sys
work = sys.argv[1]
size = 12 << 20
setting = ', "logging": {"level": "debug", "log_file": "%s/logs/agent.log"}}' % work
member = {"id": 0, "name": "host-0.example.net", "tags": ["edge", "eu-west", "\u00e9t\u00e9"],
          "ratio": 0.25, "enabled": True, "limits": {"cpu": 1.5e3, "memory": None}}
parts, total, i = ['{"hosts": ['], 0, 0
while total < size - 200:
    member["id"] = i
    member["name"] = "host-%d.example.net" % i
    text = json.dumps(member, ensure_ascii=False) + ", "
    parts.append(text)
    total += len(text.encode())
    i += 1
parts.append("{}]" + setting)
with open(work + "/members.cfg", "w") as f:
    f.write("".join(parts))
with open(work + "/string.cfg", "w") as f:
    f.write('{"blob": "' + "x" * (size - 200) + '"' + setting)
EOF

for config in members string; do
  cat "$work/$config.cfg" >/dev/null   # page cache warm for both
  for variant in base ours; do
    driver=$bench
    [[ $variant == base ]] && driver=$base_bench
    out=$(for _ in $(seq $runs); do "$driver" logs "$work/$config.cfg" "$work/out"; done)
    printf '%-8s %-5s %.3f s   peak RSS %d KiB\n' "$config" "$variant" \
      "$(echo "$out" | awk '{print $2}' | best)" "$(echo "$out" | awk '{print $4}' | sort -n | tail -n1)"
  done
done
printf 'configurations: %d bytes each\n' "$(stat -c %s "$work/members.cfg")"
