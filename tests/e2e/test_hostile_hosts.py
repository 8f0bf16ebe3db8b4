"""Whole runs on hosts that are already in trouble: stray bytes, endless sources, tight memory."""

import os
import unittest

from archive_reader import read_archive
from harness import SANITIZED, E2ETestCase
from test_collectors import LISTING, tool

EFBIG = "File too large (os error 27)"
NOT_REGULAR = "the source path is neither a regular file nor a symlink to a regular file"
LAST_LINE = "Logs and config can be found at /tmp/run/oskel-data.tar.gz\n"


class HostileHosts(E2ETestCase):
    def members(self, r):
        members, _ = read_archive(self, r.tmp / "run/oskel-data.tar.gz")
        return {k.removeprefix("oskel-data/"): v for k, v in members.items()}

    def test_stray_byte_in_os_release_keeps_an_ubuntu_host_on_dpkg_query(self):
        os_release = (b'NAME="Ubuntu"\nVERSION_ID="22.04"\nID=ubuntu\n'
                      b'BUG_REPORT_URL="https://caf\xe9.example/"\n')
        r = self.run_oskel(etc={"os-release": os_release},
                           tools={"dpkg-query": tool(f"printf '%s' '{LISTING}'"),
                                  "rpm": tool("echo wrong tool; exit 7")})
        self.assertEqual(r.stderr, "Failed to get oskel config files, skipping. No such file or "
                                   "directory (os error 2)\nFailed to get oskel logs, skipping. No "
                                   "such file or directory (os error 2)\n")
        files = self.members(r)
        self.assertTrue(files["osInfo.txt"][2].endswith(b"Version: Linux 22.04 Ubuntu\n"))
        self.assertIn(b"keldra-oskel        4.2.1-1", files["oskelPackageInfo.txt"][2])
        self.assertNotIn(b"wrong tool", files["oskelPackageInfo.txt"][2])

    def test_endless_sources_end_in_failure_lines_under_a_memory_cap(self):
        # Every file the run reads whole is an endless device. The cap is far above what a run
        # needs and far below what reading without a bound would take.
        r = self.run_oskel(
            setup="ln -s /dev/zero /opt/keldra/etc/keldra-oskel.cfg; "
                  "ln -sf /dev/zero /etc/os-release; ln -sf /dev/zero /etc/lsb-release; "
                  "ln -sf /dev/zero /etc/system-release",
            wrapper="" if SANITIZED else "prlimit --as=134217728",
        )
        self.assertEqual(r.rc, 0, r.stderr)
        self.assertEqual(r.stderr, f"Failed to get os info, skipping. {EFBIG}\n"
                                   f"Failed to get oskel config files, skipping. {NOT_REGULAR}\n"
                                   f"Failed to get oskel logs, skipping. {EFBIG}\n")
        self.assertTrue(r.stdout.endswith(LAST_LINE), r.stdout)
        self.assertEqual(sorted(os.listdir(r.tmp / "run")), ["oskel-data.tar.gz"])

    def test_large_regular_config_is_copied_but_not_read_for_the_log_location(self):
        big = "/opt/keldra/etc/keldra-oskel.cfg"
        r = self.run_oskel(setup=f"head -c 16777217 /dev/zero | tr '\\0' ' ' > {big}")
        self.assertEqual(r.stderr, f"Failed to get oskel logs, skipping. {EFBIG}\n")
        self.assertEqual(len(self.members(r)["keldra-oskel.cfg"][2]), 16777217)


if __name__ == "__main__":
    unittest.main()
