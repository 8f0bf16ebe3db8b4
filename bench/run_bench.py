#!/usr/bin/env python3
"""Fixed cost of a whole run: no configuration, no logs, package tool stubbed to exit at once.

usage: bench/run_bench.py BINARY [RUNS, default 300]
Prints wall-time percentiles and the peak RSS, next to the cost of starting /bin/true.
"""

import os
import statistics
import sys
import tempfile
import time
from pathlib import Path


def timed(argv, env):
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, env, file_actions=[
        (os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0),
        (os.POSIX_SPAWN_OPEN, 2, os.devnull, os.O_WRONLY, 0)])
    _, status, usage = os.wait4(pid, 0)
    elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"{argv[0]} failed")
    return elapsed, usage.ru_maxrss


def summary(name, samples):
    times = sorted(s[0] * 1000 for s in samples)
    p95 = times[int(len(times) * 0.95) - 1]
    print(f"{name:12} median {statistics.median(times):6.2f} ms  p95 {p95:6.2f} ms  "
          f"min {times[0]:6.2f} ms  peak RSS {max(s[1] for s in samples)} KiB")
    return statistics.median(times)


def main():
    binary, runs = os.path.abspath(sys.argv[1]), int(sys.argv[2]) if len(sys.argv) > 2 else 300
    with tempfile.TemporaryDirectory() as work:
        stubs = Path(work, "bin")
        stubs.mkdir()
        for tool in ("rpm", "dpkg-query"):
            (stubs / tool).write_text("#!/bin/sh\nexit 0\n")
            (stubs / tool).chmod(0o755)
        env = dict(os.environ, TMPDIR=work, PATH=f"{stubs}:{os.environ['PATH']}")
        archive = Path(work, "oskel-data.tar.gz")
        samples, baseline = [], []
        for _ in range(runs):
            samples.append(timed([binary], env))
            archive.unlink()
            baseline.append(timed(["/bin/true"], env))
        ours = summary("oskel_info", samples)
        base = summary("/bin/true", baseline)
        print(f"cost above a bare process start: {ours - base:.2f} ms")


if __name__ == "__main__":
    main()
