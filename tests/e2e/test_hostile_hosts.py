"""Whole runs on hosts that are already in trouble: stray bytes, endless sources, tight memory."""

import os
import unittest

from harness import (ARCHIVE_LINE, CONFIG, EMULATOR, LISTING, NOT_REGULAR, ROCKY_OS_RELEASE,
                     SANITIZED, VIEW, E2ETestCase, tool)

EFBIG = "File too large (os error 27)"



class HostileHosts(E2ETestCase):
    def test_stray_byte_in_os_release_keeps_an_ubuntu_host_on_dpkg_query(self):
        os_release = (b'NAME="Ubuntu"\nVERSION_ID="22.04"\nID=ubuntu\n'
                      b'BUG_REPORT_URL="https://caf\xe9.example/"\n')
        r = self.run_oskel(etc={"os-release": os_release},
                           tools={"dpkg-query": tool(f"printf '%s' '{LISTING}'"),
                                  "rpm": tool("echo wrong tool; exit 7")})
        self.assertEqual(r.stderr, "Failed to get oskel config files, skipping. No such file or "
                                   "directory (os error 2)\nFailed to get oskel logs, skipping. No "
                                   "such file or directory (os error 2)\n")
        files = self.archived(r)
        self.assertTrue(files["osInfo.txt"][2].endswith(b"Version: Linux 22.04 Ubuntu\n"))
        self.assertIn(b"keldra-oskel        4.2.1-1", files["oskelPackageInfo.txt"][2])
        self.assertNotIn(b"wrong tool", files["oskelPackageInfo.txt"][2])

    def test_endless_sources_end_in_failure_lines_under_a_memory_cap(self):
        # Every file the run reads whole is an endless device; the configuration, which is
        # never opened unless regular, is refused. The cap is far above what a run needs and far
        # below what reading without a bound would take.
        r = self.run_oskel(
            setup="ln -s /dev/zero /opt/keldra/etc/keldra-oskel.cfg; "
                  "ln -sf /dev/zero /etc/os-release; ln -sf /dev/zero /etc/lsb-release; "
                  "ln -sf /dev/zero /etc/system-release",
            wrapper=capped(134217728),
        )
        self.assertEqual(r.rc, 0, r.stderr)
        self.assertEqual(r.stderr, f"Failed to get os info, skipping. {EFBIG}\n"
                                   f"Failed to get oskel config files, skipping. {NOT_REGULAR}\n"
                                   f"Failed to get oskel logs, skipping. {NOT_REGULAR}\n")
        self.assertTrue(r.stdout.endswith(ARCHIVE_LINE), r.stdout)
        self.assertEqual(sorted(os.listdir(r.tmp / "run")), ["oskel-data.tar.gz"])

    def test_large_regular_config_is_copied_but_not_read_for_the_log_location(self):
        big = "/opt/keldra/etc/keldra-oskel.cfg"
        r = self.run_oskel(setup=f"head -c 16777217 /dev/zero | tr '\\0' ' ' > {big}")
        self.assertEqual(r.stderr, f"Failed to get oskel logs, skipping. {EFBIG}\n")
        self.assertEqual(len(self.archived(r)["keldra-oskel.cfg"][2]), 16777217)


def capped(limit):
    """A memory cap for the run; none for a sanitizer build, which reserves terabytes, nor
    under qemu-user, which alone needs more than 128 MiB of address space."""
    return "" if SANITIZED or EMULATOR else f"prlimit --as={limit}"


# Runs the binary in the background, sends it signal $1 once the package tool has written
# /tmp/tool.pid (or, with $2 = archive, once the archive has data, under its own name or the
# one it is written under in a shared TMPDIR, and, with more than one CPU, the binary has a
# thread besides its own: the count goes to /tmp/threads), and exits with its status.
INTERRUPT = f"""#!/bin/bash
set -m  # job control: a background job would otherwise ignore SIGINT
sig=$1; what=$2; shift 2
"$@" & pid=$!
if [ "$what" = archive ]; then f="/tmp/run/oskel-data.tar.gz /tmp/run/.oskel-data.tar.gz.*"; else f=/tmp/tool.pid; fi
for _ in $(seq 600); do for g in $f; do [ -s "$g" ] && break 2; done; sleep 0.05; done
if [ "$what" = archive ] && [ "$(nproc)" -gt 1 ]; then
  for _ in $(seq 100); do [ "$(ls /proc/$pid/task | wc -l)" -gt 1 ] && break; sleep 0.05; done
fi
ls /proc/$pid/task | wc -l > /tmp/threads
kill -"$sig" "$pid"
wait "$pid"
"""
# A package tool that starts a grandchild and hangs.
HANGING_TOOL = tool("sleep 300 & echo $! > /tmp/grandchild; echo $$ > /tmp/tool.pid; wait")
# Prints the state of the tool's grandchild once it has had time to die: gone or a zombie.
GRANDCHILD_STATE = """g=$(cat /tmp/grandchild)
for _ in $(seq 100); do s=$(cut -d' ' -f3 /proc/$g/stat 2>/dev/null); [ -z "$s" ] || [ "$s" = Z ] && break; sleep 0.05; done
echo "grandchild ${s:-gone}"
"""


class TroubledHosts(E2ETestCase):
    """Limits and interrupts that used to kill a run half-way or exhaust its memory."""

    def test_file_size_limit_is_a_failure_line_and_every_other_log_is_kept(self):
        r = self.run_oskel(
            config=CONFIG, wrapper="prlimit --fsize=262144",
            setup="mkdir /tmp/logs; head -c 1048576 /dev/zero > /tmp/logs/agent.log; "
                  "echo one > /tmp/logs/agent.log.1; ln -s gone /tmp/logs/agent.log.latest")
        self.assertEqual(r.rc, 0, r.stderr)
        self.assertRegex(r.stderr, r"^Failed to get oskel logs, skipping. (File too large \(os "
                                   r"error 27\)|No such file or directory \(os error 2\))\n$")
        self.assertTrue(r.stdout.endswith(ARCHIVE_LINE), r.stdout)
        self.assertEqual(self.archived(r)["agent.log.1"][2], b"one\n")
        self.assertEqual(sorted(os.listdir(r.tmp / "run")), ["oskel-data.tar.gz"])

    def test_large_configuration_and_talkative_tool_under_a_memory_cap(self):
        size = 12 << 20
        pad = '{"k": [1, 2.5, "s", null, true]},'
        config = ('{"pad": [' + pad * (size // len(pad)) +
                  '0], "logging": {"log_file": "/tmp/logs/agent.log"}}')
        r = self.run_oskel(
            config=config, etc={"os-release": ROCKY_OS_RELEASE}, wrapper=capped(64 << 20),
            tools={"rpm": tool("yes 'keldra-oskel 1.0 x86_64' | head -c 167772160")},
            setup="mkdir /tmp/logs; echo current > /tmp/logs/agent.log",
            after="tar xzOf /tmp/run/oskel-data.tar.gz oskel-data/oskelPackageInfo.txt | wc -c")
        self.assertEqual((r.rc, r.stderr), (0, ""))
        self.assertTrue(r.stdout.endswith(ARCHIVE_LINE), r.stdout)
        self.assertEqual(r.after, "167772160\n")

    def test_interrupt_kills_the_tool_removes_the_output_and_ends_by_the_signal(self):
        for sig, status in (("INT", 130), ("TERM", 143), ("HUP", 129)):
            with self.subTest(sig):
                r = self.run_oskel(
                    config=CONFIG, tools={"dpkg-query": HANGING_TOOL, "interrupt": INTERRUPT},
                    wrapper=f"bash {VIEW}/stage/bin/interrupt {sig} tool", after=GRANDCHILD_STATE)
                self.assertEqual(r.rc, status, r.stderr)
                self.assertTrue(r.stdout.endswith("Collecting oskel info\n"), r.stdout)
                self.assertEqual(os.listdir(r.tmp / "run"), [])
                self.assertIn(r.after, ("grandchild gone\n", "grandchild Z\n"))

    def test_interrupt_while_archiving_leaves_no_half_made_archive(self):
        # In a shared TMPDIR the archive is written under a name of its own: that goes too. With
        # more than one CPU, the signal comes while other threads compress.
        for shared in ("", "chmod 1777 /tmp/run; "):
            with self.subTest(shared=shared):
                r = self.run_oskel(
                    config=CONFIG, tools={"interrupt": INTERRUPT, "dpkg-query": tool("exit 0")},
                    wrapper=f"bash {VIEW}/stage/bin/interrupt TERM archive",
                    # Random data behind a text line: never taken for compressed data, which
                    # would be stored so fast that the archive could be finished before the
                    # signal arrives.
                    setup=shared + "mkdir /tmp/logs; { echo log; head -c 100000000 /dev/urandom; "
                                   "} > /tmp/logs/agent.log",
                    after="nproc; cat /tmp/threads")
                self.assertEqual(r.rc, 143, r.stderr)
                self.assertEqual(os.listdir(r.tmp / "run"), [])
                cpus, threads = map(int, r.after.split())
                if cpus > 1:
                    self.assertGreater(threads, 1)


if __name__ == "__main__":
    unittest.main()
