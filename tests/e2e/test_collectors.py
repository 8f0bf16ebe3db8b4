"""The configuration, log and package stages through whole runs."""

import os
import unittest

from harness import (ARCHIVE_LINE, CONFIG, ENOENT, LISTING, NOT_REGULAR, QUIET_TOOL,
                     ROCKY_OS_RELEASE, UBUNTU_OS_RELEASE, VIEW, E2ETestCase, tool)

ENXIO = "No such device or address (os error 6)"
SOCKET = ("python3 -c \"import socket; "
          "socket.socket(socket.AF_UNIX).bind('/opt/keldra/etc/keldra-oskel.cfg')\"")
# Its member name passes 100 bytes with a two-byte character across the cut.
LONG_NAME = "agent.log." + "x" * 78 + "\u00e9" * 10
LOGS = ("mkdir -p /tmp/logs/agent.log.d; cd /tmp/logs; echo current > agent.log; "
        "echo rotated > agent.log.1; echo old > old-agent.log; echo no > other.txt; "
        "echo no > AGENT.LOG; echo hidden > .agent.log.swp; echo inner > agent.log.d/agent.log; "
        f"echo long > {LONG_NAME}")


class ConfigAndLogs(E2ETestCase):
    def test_config_and_matching_logs_are_collected(self):
        r = self.run_oskel(config=CONFIG, config_mode=0o640, setup=LOGS)
        self.assertEqual(r.stderr, "")
        files = self.archived(r)
        self.assertEqual(sorted(files), sorted([".agent.log.swp", "agent.log", "agent.log.1",
                                                "keldra-oskel.cfg", "old-agent.log", "osInfo.txt",
                                                "oskelPackageInfo.txt", LONG_NAME]))
        self.assertEqual(files[LONG_NAME][2], b"long\n")
        self.assertEqual(files["keldra-oskel.cfg"][1] & 0o7777, 0o640)
        self.assertEqual(files["keldra-oskel.cfg"][2], CONFIG.encode())
        self.assertEqual(files["agent.log.1"][2], b"rotated\n")

    def test_missing_config_fails_both_stages_in_order(self):
        r = self.run_oskel()
        self.assertEqual(r.rc, 0)
        self.assertEqual(r.stderr, f"Failed to get oskel config files, skipping. {ENOENT}\n"
                                   f"Failed to get oskel logs, skipping. {ENOENT}\n")
        self.assertTrue(r.stdout.startswith("Collecting os info\nCollecting config files\n"
                                            "Collecting log files\nCollecting oskel info\n"))

    def test_unusual_config_paths(self):
        cases = {
            "mkdir /opt/keldra/etc/keldra-oskel.cfg": (NOT_REGULAR, "Is a directory (os error 21)"),
            "mkfifo /opt/keldra/etc/keldra-oskel.cfg": (NOT_REGULAR, None),
            "ln -s /nowhere /opt/keldra/etc/keldra-oskel.cfg": (ENOENT, ENOENT),
            SOCKET: (ENXIO, ENXIO),
        }
        for setup, (config_error, log_error) in cases.items():
            r = self.run_oskel(setup=setup)
            self.assertEqual(r.rc, 0)
            lines = r.stderr.splitlines()
            self.assertEqual(lines[0], f"Failed to get oskel config files, skipping. {config_error}")
            if log_error:
                self.assertEqual(lines[1], f"Failed to get oskel logs, skipping. {log_error}")
            self.assertTrue(r.stdout.endswith(ARCHIVE_LINE))

    def test_config_through_a_link_is_copied_as_a_file(self):
        r = self.run_oskel(setup="mkdir /opt/real; echo '{}' > /opt/real/c.cfg; "
                                 "ln -s /opt/real/c.cfg /opt/keldra/etc/keldra-oskel.cfg")
        files = self.archived(r)
        self.assertEqual(files["keldra-oskel.cfg"][2], b"{}\n")

    def test_log_stage_failures(self):
        cases = {
            '{"logging": {"log_file": 5}}': "Failed to read log location from config",
            '{"logging": {"log_file": "/"}}': "Failed to read log file directory from config",
            '{"logging": {"log_file": "/var/log/.."}}': "Failed to read log file name from config",
            "": "EOF while parsing a value at line 1 column 0",
            '{"logging": {"log_file": "/tmp/logs/a\\u0000/x.log"}}': "file name contained an unexpected NUL byte",
            '{"logging": {"log_file": "/tmp/logs/agent.log"}}': ENOENT,
        }
        for config, error in cases.items():
            r = self.run_oskel(config=config, setup="mkdir -p /tmp/logs; ln -s /nowhere /tmp/logs/agent.log")
            log_line = [l for l in r.stderr.splitlines() if "logs, skipping." in l]
            self.assertEqual(len(log_line), 1, r.stderr)
            self.assertEqual(log_line[0], f"Failed to get oskel logs, skipping. {error}")


class PackageDetails(E2ETestCase):
    def package_file(self, r):
        entry = self.archived(r).get("oskelPackageInfo.txt")
        return entry[2] if entry else None

    def test_ubuntu_listing_is_filtered(self):
        r = self.run_oskel(etc={"os-release": UBUNTU_OS_RELEASE},
                           tools={"dpkg-query": tool(f"printf '%s' '{LISTING}'"), "rpm": tool("exit 7")})
        self.assertEqual(self.package_file(r), (
            b"ii  keldra-oskel        4.2.1-1      amd64        Keldra SDK oskel component\n"
            b"ii  keldra-oskel-tools  4.2.1-1      amd64        Keldra SDK oskel tools\r\n"
            b"rc  keldra-oskel-legacy 3.0.0        amd64        old oskel\n"))

    def test_ubuntu_without_the_package_gives_an_empty_file(self):
        r = self.run_oskel(etc={"os-release": UBUNTU_OS_RELEASE},
                           tools={"dpkg-query": tool("printf 'ii  adduser 3.134\\n'")})
        self.assertEqual(self.package_file(r), b"")

    def test_full_listing_without_the_package_and_a_failing_status(self):
        listing = "\n".join(l for l in LISTING.split("\n") if "keldra" not in l)
        r = self.run_oskel(etc={"os-release": UBUNTU_OS_RELEASE},
                           tools={"dpkg-query": tool(f"printf '%s\\n' '{listing}'; exit 1")})
        self.assertNotIn("package details", r.stderr)
        self.assertEqual(self.package_file(r), b"")

    def test_rpm_output_is_kept_byte_for_byte_and_its_status_ignored(self):
        for release in (ROCKY_OS_RELEASE, 'NAME="ubuntu"\nVERSION_ID="1"\n'):
            r = self.run_oskel(etc={"os-release": release},
                               tools={"rpm": tool("printf 'package keldra-oskel is not installed\\n'; "
                                                  "echo oops >&2; exit 1")})
            self.assertEqual(self.package_file(r), b"package keldra-oskel is not installed\n")
            self.assertNotIn("package details", r.stderr)

    def test_tool_not_found_or_not_run(self):
        # A tool planted where another account may change the way to it never runs: the search
        # goes on past it, else its stage fails.
        plant = ("mkdir /opt/keldra/bin; printf '#!/bin/sh\\necho ran > /tmp/ran\\n' "
                 "> /opt/keldra/bin/{0}; chmod 755 /opt/keldra/bin/{0}; ")
        by_service, by_group_0 = "chown -R 1500 /opt/keldra/bin", "chmod 775 /opt/keldra/bin"
        tools = f"{VIEW}/stage/bin:{VIEW}/utils"
        refused = "the package tool's path can be changed by "
        cases = [
            ("rpm", {}, "", "/nonexistent", ENOENT, None),
            ("rpm", {"rpm": QUIET_TOOL}, f"chmod 644 {VIEW}/stage/bin/rpm", tools,
             "Permission denied (os error 13)", None),
            ("dpkg-query", {}, plant + by_service, f"/opt/keldra/bin:{tools}",
             refused + "another account (uid 1500)", None),
            ("rpm", {}, plant + by_group_0, f"/opt/keldra/bin:{tools}",
             refused + "the writers in group 0", None),
            ("dpkg-query", {"dpkg-query": tool("echo 'ii  keldra-oskel 1'")}, plant + by_service,
             f"/opt/keldra/bin:{tools}", None, b"ii  keldra-oskel 1\n"),
            ("dpkg-query", {"dpkg-query": tool("echo 'ii  keldra-oskel 1'")},
             plant + "chmod 644 /opt/keldra/bin/{0}", f"/opt/keldra/bin:{tools}", None,
             b"ii  keldra-oskel 1\n"),
        ]
        for name, staged, setup, path, error, kept in cases:
            with self.subTest(setup=setup, path=path):
                release = ROCKY_OS_RELEASE if name == "rpm" else UBUNTU_OS_RELEASE
                r = self.run_oskel(etc={"os-release": release}, tools=staged,
                                   setup=setup.format(name), env={"PATH": path})
                line = f"Failed to get oskel package details, skipping. {error}\n"
                self.assertEqual(line in r.stderr, error is not None, r.stderr)
                self.assertEqual(self.package_file(r), kept)
                self.assertFalse((r.tmp / "ran").exists())

    def test_flooding_tool_and_stdin(self):
        flood = tool("cat; head -c 4194304 /dev/zero >&2; head -c 1048576 /dev/zero | tr '\\0' x")
        r = self.run_oskel(etc={"os-release": ROCKY_OS_RELEASE}, tools={"rpm": flood})
        self.assertEqual(self.package_file(r), b"x" * 1048576)

    def test_invalid_utf8_output(self):
        cases = {"\\377abc": "invalid utf-8 sequence of 1 bytes from index 0",
                 "ab\\342\\202(": "invalid utf-8 sequence of 2 bytes from index 2",
                 "abc\\342\\202": "incomplete utf-8 byte sequence from index 3"}
        for output, error in cases.items():
            r = self.run_oskel(etc={"os-release": ROCKY_OS_RELEASE},
                               tools={"rpm": tool(f"printf '{output}'")})
            self.assertIn(f"Failed to get oskel package details, skipping. {error}\n", r.stderr)
            self.assertIsNone(self.package_file(r))


if __name__ == "__main__":
    unittest.main()
