"""osInfo.txt as a run writes it, with the release files staged in /etc."""

import os
import unittest

from archive_reader import read_archive
from harness import DEBIAN_OS_RELEASE, E2ETestCase

HEAD = f"Platform: linux-{os.uname().release}\nVersion: Linux 12 Debian GNU/Linux\n"


def release_field(path, key):
    """The value after `key` on the first line that begins with it, quotes removed."""
    try:
        lines = open(path, "rb").read().split(b"\n")
    except OSError:
        return None
    for line in lines:
        try:
            text = line.decode("utf-8").removesuffix("\r")
        except UnicodeDecodeError:
            continue
        if text.startswith(key):
            return text[len(key):].replace('"', "")
    return None


def host_version_line():
    """The host's "Version:" line, worked out from its own release files."""
    parts = []
    for key, fallback in (("VERSION_ID=", "DISTRIB_RELEASE="), ("NAME=", "DISTRIB_ID=")):
        value = release_field("/etc/os-release", key)
        if value is None:
            value = release_field("/etc/lsb-release", fallback) or ""
        parts.append(value)
    return f"Version: Linux {parts[0]} {parts[1]}\n"


class OsInfo(E2ETestCase):
    def os_info(self, **kwargs):
        r = self.run_oskel(**kwargs)
        self.assertEqual(r.rc, 0)
        members, _ = read_archive(self, r.tmp / "run/oskel-data.tar.gz")
        entry = members.get("oskel-data/osInfo.txt")
        return r, entry[2].decode() if entry else None

    def test_on_this_host(self):
        # The host's own os-release and lsb-release, untouched.
        r, text = self.os_info(etc={}, etc_remove=("system-release",))
        self.assertEqual(text, f"Platform: linux-{os.uname().release}\n" + host_version_line())
        self.assertNotIn("os info", r.stderr)

    def test_system_release_variants(self):
        cases = {
            "": HEAD + "System Release: \n",
            "Rocky Linux release 9.3 (Blue Onyx)\n": HEAD + "System Release: Rocky Linux release 9.3 (Blue Onyx)\n\n",
            "a\nb": HEAD + "System Release: a\nb\n",
        }
        for content, expected in cases.items():
            _, text = self.os_info(etc={"os-release": DEBIAN_OS_RELEASE, "system-release": content})
            self.assertEqual(text, expected)

    def test_directory_system_release_fails_the_stage_only(self):
        r, text = self.os_info(setup="mkdir /etc/system-release")
        self.assertIsNone(text)
        self.assertEqual(r.stderr.splitlines()[0],
                         "Failed to get os info, skipping. Is a directory (os error 21)")
        self.assertIn("Collecting config files\n", r.stdout)

    def test_non_utf8_system_release(self):
        r, text = self.os_info(etc={"os-release": DEBIAN_OS_RELEASE, "system-release": b"Fedora \xff\n"})
        self.assertIsNone(text)
        self.assertIn("Failed to get os info, skipping. stream did not contain valid UTF-8\n", r.stderr)

    def test_lsb_release_fallback_and_quotes(self):
        _, text = self.os_info(etc={"lsb-release": 'DISTRIB_ID="Ubuntu"\nDISTRIB_RELEASE=20.04\n'})
        self.assertTrue(text.endswith("Version: Linux 20.04 Ubuntu\n"), text)
        _, text = self.os_info(etc={})
        self.assertTrue(text.endswith("Version: Linux  \n"), text)


if __name__ == "__main__":
    unittest.main()
