"""A whole run on a host where everything is in place."""

import os
import stat
import tarfile
import unittest

from archive_reader import read_archive
from harness import LISTING, UBUNTU_OS_RELEASE, E2ETestCase, archive_line, inside, tool

CONFIG = '{\n  "logging": {"log_file": "/var/log/keldra/oskel.log", "level": "info"}\n}\n'


class FullRun(E2ETestCase):
    def test_everything_in_place(self):
        r = self.run_oskel(
            etc={"os-release": UBUNTU_OS_RELEASE},
            config=CONFIG,
            config_mode=0o600,
            tools={"dpkg-query": tool(f"printf '%s\\n' '{LISTING}'")},
            tmpdir=None,
            setup="mount -t tmpfs tmpfs /var/log; mkdir /var/log/keldra; cd /var/log/keldra; "
                  "printf '2026-12-07 08:00:00 INFO started\\n' > oskel.log; chmod 640 oskel.log; "
                  "printf 'rotated\\n' > oskel.log.1; printf 'x' > unrelated.log",
        )
        self.assertEqual(r.rc, 0)
        self.assertEqual(r.stderr, "")
        self.assertEqual(r.stdout, "Collecting os info\nCollecting config files\n"
                                   "Collecting log files\nCollecting oskel info\n"
                                   + archive_line("/tmp/oskel-data.tar.gz"))
        self.assertEqual(sorted(os.listdir(r.tmp)), ["oskel-data.tar.gz", "run"])
        members, order = read_archive(self, r.tmp / "oskel-data.tar.gz")
        self.assertEqual(order[0], "oskel-data")
        self.assertEqual(sorted(order), ["oskel-data", "oskel-data/keldra-oskel.cfg",
                                         "oskel-data/osInfo.txt", "oskel-data/oskel.log",
                                         "oskel-data/oskel.log.1", "oskel-data/oskelPackageInfo.txt"])
        files = inside(members)
        self.assertEqual(members["oskel-data"][1], stat.S_IFDIR | 0o700)
        self.assertEqual(files["osInfo.txt"][2].decode(),
                         f"Platform: linux-{os.uname().release}\nVersion: Linux 22.04 Ubuntu\n")
        self.assertEqual(files["keldra-oskel.cfg"], (tarfile.REGTYPE, stat.S_IFREG | 0o600, CONFIG.encode()))
        self.assertEqual(files["oskel.log"][1], stat.S_IFREG | 0o640)
        self.assertEqual(files["oskel.log"][2], b"2026-12-07 08:00:00 INFO started\n")
        self.assertEqual(files["oskel.log.1"][2], b"rotated\n")
        self.assertEqual(files["oskelPackageInfo.txt"][2].count(b"\n"), 3)
        self.assertEqual(files["oskelPackageInfo.txt"][1], stat.S_IFREG | 0o644)


if __name__ == "__main__":
    unittest.main()
