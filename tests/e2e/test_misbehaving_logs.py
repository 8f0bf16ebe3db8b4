"""Logs as a host in trouble leaves them: one big hole after a copytruncate, a runaway writer
appending while the run copies. The run must end by itself with a complete archive in a small
temporary directory, and that archive must be on disk before its path is printed."""

import os
import re
import shutil
import tarfile
import unittest

from harness import ARCHIVE_LINE, CONFIG, EMULATOR, SANITIZED, E2ETestCase

# TMPDIR is a tmpfs far smaller than the logs would take written out in full.
SMALL_TMPDIR = "mkdir /tmp/logs; mount -t tmpfs -o size=64m tmpfs /tmp/run; "
LINE = b"E1234 the same error line, again\n"
# A log that is one big hole, as large as the archive stores as zeros (a larger one is a sparse
# member); under qemu-user, where a run is many times slower, a smaller one.
HOLE = 256 << 20 if EMULATOR else 1 << 30
# Appends lines to the log as fast as it can until stopped (or for two minutes at most, should
# the run hang and the harness give up on the namespace); the run starts once the log has
# passed 1 MiB. The logs live on a tmpfs of their own, which caps a forgotten writer at 1 GiB.
WRITER = ("mkdir /tmp/logs; mount -t tmpfs -o size=256m tmpfs /tmp/run; "
          "mount -t tmpfs -o size=1g tmpfs /tmp/logs; "
          "timeout 120 sh -c 'echo $$ > /tmp/writer.pid; "
          f"exec yes \"{LINE.decode().strip()}\"' >> /tmp/logs/agent.log & writer=$!; "
          "until [ \"$(stat -c %s /tmp/logs/agent.log)\" -ge 1048576 ]; do :; done; "
          "stat -c %s /tmp/logs/agent.log; ")
STOP_WRITER = ("kill $writer; wait $writer; stat -c %s /tmp/logs/agent.log; "
               "kill -0 $(cat /tmp/writer.pid) 2>/dev/null && echo writer left; rm -rf /tmp/logs/*")


def member(r, name):
    """The size of member `name` of the run's archive, how many of its bytes are not zero and
    its last 4 KiB, read as a stream: the member may be gigabytes of zeros."""
    with tarfile.open(r.tmp / "run/oskel-data.tar.gz", "r|gz") as archive:
        for info in archive:
            if info.name != name:
                continue
            data = archive.extractfile(info)
            nonzero, tail = 0, b""
            while chunk := data.read(1 << 20):
                nonzero += len(chunk) - chunk.count(0)
                tail = (tail + chunk)[-4096:]
            return info.size, nonzero, tail
    raise AssertionError(f"no member {name}")


class MisbehavingLogs(E2ETestCase):
    def assert_complete(self, r):
        self.assertEqual((r.rc, r.stderr), (0, ""))
        self.assertTrue(r.stdout.endswith(ARCHIVE_LINE), r.stdout)
        self.assertEqual(os.listdir(r.tmp / "run"), ["oskel-data.tar.gz"])

    def test_log_that_is_one_big_hole_is_archived_whole_through_a_small_tmpdir(self):
        # Whatever the data begins with, a gzip magic too (such data is stored), the hole's
        # zeros are deflated: about 1000 to 1.
        for head in (b"", b"\x1f\x8b"):
            with self.subTest(head=head):
                octal = "".join(f"\\{byte:03o}" for byte in head)
                r = self.run_oskel(config=CONFIG, setup=SMALL_TMPDIR + (
                    f"printf '{octal}' > /tmp/logs/agent.log; truncate -s {HOLE} "
                    f"/tmp/logs/agent.log; printf '%s' '{LINE.decode()}' >> /tmp/logs/agent.log"),
                    after="rm /tmp/logs/agent.log")
                self.assert_complete(r)
                self.assertLess((r.tmp / "run/oskel-data.tar.gz").stat().st_size, HOLE // 500)
                size, nonzero, tail = member(r, "oskel-data/agent.log")
                self.assertEqual((size, nonzero, tail[-len(LINE):]),
                                 (HOLE + len(LINE), len(head) + len(LINE), LINE))

    def test_log_that_grows_while_copied_is_archived_as_it_stood_when_opened(self):
        r = self.run_oskel(config=CONFIG, setup=WRITER, after=STOP_WRITER)
        self.assert_complete(r)
        self.assertEqual(r.after.count("writer left"), 0, r.after)
        at_start, at_end = map(int, r.after.split()[:2])
        size, _, tail = member(r, "oskel-data/agent.log")
        self.assertIn(tail[-64:], LINE * 3)  # the writer's lines up to the end, cut anywhere
        self.assertLessEqual(at_start, size)
        self.assertLess(size, at_end)

    def test_system_calls_flush_the_archive_before_its_path_and_give_the_tool_60_s(self):
        if EMULATOR:
            self.skipTest("strace of qemu-user sees the emulator's system calls, not the tool's")
        if not shutil.which("strace"):
            self.skip_outside_ci("strace is missing: scripts/setup.sh test installs it")
        trace = "strace -f -qq -y -o /tmp/trace -e trace=fdatasync,fsync,write,poll"
        # LeakSanitizer cannot run under ptrace; the other sanitizer checks still do.
        env = {"ASAN_OPTIONS": "detect_leaks=0"} if SANITIZED else {}
        r = self.run_oskel(wrapper=trace, env=env, after="cat /tmp/trace")
        self.assertTrue(r.stdout.endswith(ARCHIVE_LINE), r.stdout)
        calls = [re.sub(r"^\d+ +|<[^>]*>", "", line) for line in r.after.splitlines()]
        # strace shows no more than the first 32 bytes of what is written.
        order = [next((i for i, c in enumerate(calls) if c.startswith(prefix)), None) for prefix
                 in ("fdatasync(", "fsync(", f'write(1, "{ARCHIVE_LINE[:31]}')]
        self.assertNotIn(None, order, r.after)
        self.assertEqual(order, sorted(order), r.after)
        # The package tool's output is waited for until its time limit: 60 s from its start.
        waits = [int(m[1]) for c in calls if (m := re.match(r"poll\(\[.*?\], \d+, (-?\d+)\)", c))]
        self.assertTrue(waits and 50_000 < max(waits) <= 60_000, r.after)
        # Through a link, the directory flushed is the archive's own.
        r = self.run_oskel(wrapper=trace, env=env, after="cat /tmp/trace",
                           setup="mkdir /tmp/real; ln -s /tmp/real/a.tgz /tmp/run/oskel-data.tar.gz")
        self.assertRegex(r.after, r"fsync\(\d+</tmp/real>\)")

        r = self.run_oskel(wrapper=trace + " -e inject=fdatasync:error=EIO", env=env)
        self.assertTrue(r.stderr.endswith("Failed to archive output directory, /tmp/run/oskel-data, "
                                          "skipping. Input/output error (os error 5)\n"), r.stderr)
        self.assertNotIn(ARCHIVE_LINE, r.stdout)
        self.assertIn("oskel-data", os.listdir(r.tmp / "run"))
        # A file system that cannot flush (or a target that is not a regular file) says EINVAL.
        r = self.run_oskel(wrapper=trace + " -e inject=fdatasync:error=EINVAL", env=env)
        self.assertTrue(r.stdout.endswith(ARCHIVE_LINE), r.stderr)
        # A shared TMPDIR's descriptor, duplicated by the archive stage alone (-P), cannot be:
        # no temporary archive is left in it.
        r = self.run_oskel(wrapper="strace -f -qq -o /dev/null -P /tmp/run -e trace=fcntl "
                                   "-e inject=fcntl:error=EMFILE", env=env, setup="chmod 1777 /tmp/run")
        self.assertTrue(r.stderr.endswith(", skipping. Too many open files (os error 24)\n"), r.stderr)
        self.assertEqual(os.listdir(r.tmp / "run"), ["oskel-data"])


if __name__ == "__main__":
    unittest.main()
