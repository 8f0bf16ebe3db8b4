#!/usr/bin/env python3
"""The cost of reading as another account: a log directory of the service account (uid 1500)
holding N links of its own to its own rotated logs elsewhere, each followed with its rights.
With --chains, each of the N logs is instead a chain of 39 links whose targets are 4 KB of
"d/../": what a resolution's bound on components must make cheap to refuse.

usage: bench/linked_logs_bench.py BINARY [BINARY...] [--links N, default 10000] [--runs R, 5]
                                  [--chains]
Runs as root, each run in a private mount namespace (tmpfs on /opt and /tmp: the host is not
changed). Prints, per binary, the best wall time of R runs and the time per linked log.
"""

import argparse
import shlex
import subprocess
import tempfile
from pathlib import Path

CONFIG = '{"logging": {"log_file": "/tmp/logs/agent.log"}}'


CHAINS = """
import os
os.mkdir("/tmp/logs/d")
for i in range({links}):
    for j in range(1, 40):
        os.symlink("d/../" * 810 + f"c{{i}}.{{j + 1}}", f"/tmp/logs/c{{i}}.{{j}}")
    os.symlink(f"c{{i}}.1", f"/tmp/logs/agent.log.{{i}}")
"""
LINKS = """
import os
for i in range({links}):
    target = f"/tmp/elsewhere/agent.log.{{i}}"
    with open(target, "w") as f:
        f.write("line\\n")
    os.symlink(target, f"/tmp/logs/agent.log.{{i}}")
"""


def stage(links, chains):
    program = (CHAINS if chains else LINKS).format(links=links)
    return f"""
mount -t tmpfs tmpfs /opt
mount -t tmpfs tmpfs /tmp
mkdir -p /opt/keldra/etc /tmp/logs /tmp/elsewhere /tmp/run
printf '%s' {shlex.quote(CONFIG)} > /opt/keldra/etc/keldra-oskel.cfg
chown 1500:1500 /tmp/logs /tmp/elsewhere
setpriv --reuid=1500 --regid=1500 --clear-groups python3 -c {shlex.quote(program)}
"""


def best_time(binary, links, runs, chains):
    with tempfile.TemporaryDirectory() as scratch:
        script = Path(scratch) / "run.sh"
        script.write_text(stage(links, chains) + f"""
for i in $(seq {runs}); do
  rm -rf /tmp/run/*
  s=$(date +%s%N); TMPDIR=/tmp/run {shlex.quote(binary)} >/dev/null 2>/tmp/err; e=$(date +%s%N)
  echo $((e - s))
done
grep -c . /tmp/err || true
""")
        out = subprocess.run(["unshare", "--mount", "--propagation", "private", "bash",
                              str(script)], capture_output=True, text=True, check=True).stdout
    lines = out.split()
    times = [int(x) / 1e9 for x in lines[:-1]]
    return min(times), int(lines[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binaries", nargs="+")
    parser.add_argument("--links", type=int, default=10000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--chains", action="store_true")
    args = parser.parse_args()
    what = "chains of 39 long links" if args.chains else "links of uid 1500 to its own logs"
    print(f"{args.links} {what}, best of {args.runs} runs")
    for binary in args.binaries:
        best, errors = best_time(binary, args.links, args.runs, args.chains)
        print(f"{binary}: {best:.3f} s, {best / args.links * 1e6:.1f} us a log, "
              f"{errors} failure lines")


if __name__ == "__main__":
    main()
