#!/usr/bin/env python3
"""Fixed cost of a whole run: no configuration, no logs, a static package tool that exits at once.

usage: bench/run_bench.py BINARY [RUNS, default 300]
Prints wall-time percentiles and the peak RSS of oskel_info, next to /bin/true started the
same way. A tiny static launcher forks and execs each run and measures it: a child started
from python would report python's own peak RSS, which survives exec.
"""

import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

LAUNCHER = r"""
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
int main(int argc, char** argv) {
  (void)argc;
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t pid = fork();
  if (pid == 0) {
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    execv(argv[1], argv + 1);
    _exit(127);
  }
  int status; struct rusage usage;
  wait4(pid, &status, 0, &usage);
  clock_gettime(CLOCK_MONOTONIC, &end);
  printf("%ld %ld %d\n", (end.tv_sec - start.tv_sec) * 1000000000L + end.tv_nsec - start.tv_nsec,
         usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : 128);
  return 0;
}
"""


FLOOR = r"""
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
static void create(const char* path, int size, int flush) {
  static char data[512];
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd >= 0) { (void)!write(fd, data, size); if (flush) fdatasync(fd); close(fd); }
}
int main(void) {
  char dir[4096], a[4200], b[4200], archive[4200];
  snprintf(dir, sizeof dir, "%s/floor-data", getenv("TMPDIR"));
  snprintf(a, sizeof a, "%s/osInfo.txt", dir);
  snprintf(b, sizeof b, "%s/oskelPackageInfo.txt", dir);
  snprintf(archive, sizeof archive, "%s/floor-data.tar.gz", getenv("TMPDIR"));
  mkdir(dir, 0700);
  create(a, 68, 0);
  char* argv[] = {"rpm", 0};
  pid_t pid;
  int status;
  if (posix_spawnp(&pid, "rpm", 0, 0, argv, environ) != 0) return 1;
  waitpid(pid, &status, 0);
  create(b, 0, 0);
  /* The archive is flushed, and its directory entry with it, as the tool does. */
  create(archive, 200, 1);
  int tmp = open(getenv("TMPDIR"), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (tmp >= 0) { fsync(tmp); close(tmp); }
  unlink(a);
  unlink(b);
  rmdir(dir);
  return 0;
}
"""


def summary(name, samples):
    times = sorted(s[0] / 1e6 for s in samples)
    p95 = times[int(len(times) * 0.95) - 1]
    print(f"{name:12} median {statistics.median(times):6.2f} ms  p95 {p95:6.2f} ms  "
          f"min {times[0]:6.2f} ms  peak RSS {max(s[1] for s in samples)} KiB")
    return statistics.median(times)


def main():
    binary, runs = os.path.abspath(sys.argv[1]), int(sys.argv[2]) if len(sys.argv) > 2 else 300
    with tempfile.TemporaryDirectory() as work:
        launcher = Path(work, "launch")
        Path(work, "launch.c").write_text(LAUNCHER)
        subprocess.run(["cc", "-static", "-Os", "-o", launcher, Path(work, "launch.c")], check=True)
        # The package tool is a static program that exits at once: the floor is then two
        # static execs plus the file-system work of the run itself.
        stubs = Path(work, "bin")
        stubs.mkdir()
        Path(work, "stub.c").write_text("int main(void) { return 0; }\n")
        subprocess.run(["cc", "-static", "-Os", "-o", stubs / "rpm", Path(work, "stub.c")],
                       check=True)
        os.link(stubs / "rpm", stubs / "dpkg-query")
        # The floor: a static program that starts the same stub and waits for it and does the
        # file-system work a run must do (the directory, two files, the archive file and its
        # flush, the clean-up), i.e. two static execs with their libc start-up and nothing else.
        # The flush costs what the disk under TMPDIR makes it cost: set TMPDIR to compare.
        floor = Path(work, "floor")
        Path(work, "floor.c").write_text(FLOOR)
        subprocess.run(["cc", "-static", "-Os", "-o", floor, Path(work, "floor.c")], check=True)
        env = dict(os.environ, TMPDIR=work, PATH=f"{stubs}:{os.environ['PATH']}")

        def measure(program):
            out = subprocess.run([launcher, program], env=env, capture_output=True, check=True)
            elapsed, rss, status = map(int, out.stdout.split())
            if status != 0:
                raise SystemExit(f"{program} exited with {status}")
            return elapsed, rss

        samples, baseline, floors = [], [], []
        for _ in range(runs):
            samples.append(measure(binary))
            Path(work, "oskel-data.tar.gz").unlink()
            baseline.append(measure("/bin/true"))
            floors.append(measure(str(floor)))
            Path(work, "floor-data.tar.gz").unlink()
        ours = summary("oskel_info", samples)
        base = summary("/bin/true", baseline)
        bottom = summary("floor", floors)
        print(f"cost above a bare process start: {ours - base:.2f} ms")
        print(f"cost above the floor:            {ours - bottom:.2f} ms")
        # The machine's own speed changes from run to run; ratios to programs timed in the
        # same run compare across machines and days.
        print(f"oskel_info / /bin/true: {ours / base:.2f}   floor / /bin/true: {bottom / base:.2f}"
              f"   oskel_info / floor: {ours / bottom:.2f}")


if __name__ == "__main__":
    main()
