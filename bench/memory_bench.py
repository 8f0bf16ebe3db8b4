#!/usr/bin/env python3
"""Peak memory of a whole run over a log directory of many entries with long names.

usage: bench/memory_bench.py BINARY [N ...]   (as root; N defaults to 200000 1000000)

For each N, in a private mount namespace (every mount disappears with it; the host is not
touched): a tmpfs on /opt with the configuration, a package tool that answers at once and a log
directory of N empty files whose 240-byte names all match the log file's name, and a tmpfs on
/tmp for TMPDIR. The binary runs once; its peak RSS (getrusage of the child) and wall time are
printed against the target: peak RSS <= 1.25 x the bytes of the selected names + 8 MiB. The
files cost the kernel about 1 KiB each, twice (the logs and their copies): 1,000,000 entries
take about 2.5 GiB of memory while they exist.
"""

import os
import resource
import subprocess
import sys
import time

NAME_BYTES = 240
LOG_DIR = "/opt/logs"
CONFIG = '{"logging": {"log_file": "/opt/logs/agent.log"}}'
MIB = 1 << 20


def name(index):
    stem = f"agent.log.{index:09d}."
    return stem + "x" * (NAME_BYTES - len(stem))


def inside(binary_bytes, count):
    """Runs in the namespace: stages everything, runs the binary, prints one result line."""
    for target in ("/opt", "/tmp"):
        subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", target], check=True)
    os.makedirs("/opt/keldra/etc")
    os.makedirs("/opt/bin")
    os.makedirs(LOG_DIR)
    os.makedirs("/tmp/run")
    with open("/opt/keldra/etc/keldra-oskel.cfg", "w") as config:
        config.write(CONFIG)
    binary = "/opt/bin/oskel_info"
    with open(binary, "wb") as out:
        out.write(binary_bytes)
    os.chmod(binary, 0o755)
    for tool in ("dpkg-query", "rpm"):
        with open(f"/opt/bin/{tool}", "w") as out:
            out.write("#!/bin/sh\nexit 0\n")
        os.chmod(f"/opt/bin/{tool}", 0o755)
    for index in range(count):
        os.close(os.open(f"{LOG_DIR}/{name(index)}", os.O_WRONLY | os.O_CREAT, 0o644))

    env = {"PATH": "/opt/bin:/usr/bin:/bin", "TMPDIR": "/tmp/run"}
    start = time.monotonic()
    child = subprocess.Popen([binary], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    # wait4 rather than communicate: the rusage is this child's alone. The output is a few
    # lines, far below a pipe's capacity.
    _, status, usage = os.wait4(child.pid, 0)
    elapsed = time.monotonic() - start
    out, err = child.stdout.read().decode(errors="replace"), child.stderr.read().decode(errors="replace")
    if os.waitstatus_to_exitcode(status) != 0 or err or "found at" not in out:
        sys.exit(f"N={count}: the run failed (status {status}): {err}{out}")
    print(usage.ru_maxrss, f"{elapsed:.2f}", resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--inside":
        with open(sys.argv[2], "rb") as binary:
            data = binary.read()
        inside(data, int(sys.argv[3]))
        return
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    if os.geteuid() != 0:
        sys.exit("needs root: it mounts tmpfs in a private mount namespace")
    binary = os.path.abspath(sys.argv[1])
    counts = [int(n) for n in sys.argv[2:]] or [200000, 1000000]
    for count in counts:
        proc = subprocess.run(
            ["unshare", "--mount", "--propagation", "private", sys.executable,
             os.path.abspath(__file__), "--inside", binary, str(count)],
            capture_output=True, text=True)
        if proc.returncode != 0:
            sys.exit(proc.stderr.strip())
        rss_kib, seconds, own_kib = proc.stdout.split()
        names = count * NAME_BYTES
        target = 1.25 * names + 8 * MIB
        rss = int(rss_kib) * 1024
        print(f"N={count:>9}: names {names / MIB:7.1f} MiB  peak RSS {rss / MIB:7.1f} MiB  "
              f"target {target / MIB:7.1f} MiB  {'met' if rss <= target else 'MISSED':6}  "
              f"({rss / names:.2f} x names)  time {seconds} s")
        # A child's peak RSS starts from its parent's at the fork: this is that floor.
        print(f"{'':12}(the measuring python's own peak RSS: {int(own_kib) / 1024:.1f} MiB)")


if __name__ == "__main__":
    main()
