"""The command line and the output directory, seen from outside."""

import os
import unittest

from harness import ARCHIVE_LINE, ROCKY_OS_RELEASE, E2ETestCase, archive_line

HELP = ("Collects Keldra SDK logs and config files\n\nUsage: oskel_info\n\n"
        "Options:\n  -h, --help  Print help\n")


def refusal(argument):
    return (f"error: unexpected argument '{argument}' found\n\nUsage: oskel_info\n\n"
            "For more information, try '--help'.\n")


class CommandLine(E2ETestCase):
    def test_help_prints_six_lines_and_creates_nothing(self):
        for flag in ("-h", "--help"):
            r = self.run_oskel(args=(flag,))
            self.assertEqual((r.rc, r.stdout, r.stderr), (0, HELP, ""))
            self.assertEqual(os.listdir(r.tmp / "run"), [])

    def test_every_argument_is_refused_with_status_2(self):
        for argument in ("x", "--version", "-V", "-x", "--"):
            r = self.run_oskel(args=(argument,))
            self.assertEqual((r.rc, r.stdout, r.stderr), (2, "", refusal(argument)), argument)
            self.assertEqual(os.listdir(r.tmp / "run"), [])


class OutputDirectory(E2ETestCase):
    def assert_refused(self, r, stderr):
        self.assertEqual(r.rc, 1)
        self.assertEqual(r.stdout, "")
        self.assertEqual(r.stderr, stderr)

    def test_unset_tmpdir_means_slash_tmp(self):
        r = self.run_oskel(tmpdir=None)
        self.assertEqual(r.rc, 0)
        self.assertTrue(r.stdout.endswith(archive_line("/tmp/oskel-data.tar.gz")))
        self.assertTrue((r.tmp / "oskel-data.tar.gz").exists())
        self.assertFalse((r.tmp / "oskel-data").exists())

    def test_directory_mode_is_0700_while_collecting(self):
        # A package tool that reports the mode of the directory it runs beside; a setgid TMPDIR
        # gives the new directory its bit, which the run clears before collecting.
        probe = "#!/bin/sh\nstat -c 'mode %a' \"$TMPDIR/oskel-data\"\n"
        for tmpdir, setup in (("/tmp/run", ""),
                              ("/tmp/sg", "mkdir /tmp/sg; chgrp 110 /tmp/sg; chmod 2775 /tmp/sg")):
            r = self.run_oskel(etc={"os-release": ROCKY_OS_RELEASE}, tools={"rpm": probe},
                               tmpdir=tmpdir, setup=setup,
                               after='tar xzOf "$TMPDIR/oskel-data.tar.gz" oskel-data/oskelPackageInfo.txt')
            self.assertEqual(r.after, "mode 700\n", r.stderr)

    def test_trailing_slash_is_not_doubled(self):
        r = self.run_oskel(tmpdir="/tmp/run/")
        self.assertIn(ARCHIVE_LINE, r.stdout)

    def test_empty_tmpdir_uses_the_current_directory(self):
        r = self.run_oskel(tmpdir="")
        self.assertEqual(r.rc, 0)
        self.assertIn(archive_line("oskel-data.tar.gz"), r.stdout)
        self.assertTrue((r.work / "cwd/oskel-data.tar.gz").exists())

    def test_missing_tmpdir_is_create_failed(self):
        # Longer than PATH_MAX: the kernel's answer for the whole path, not the walk's.
        too_long = "/tmp/missing/" + "d" * 200 + ("/" + "d" * 200) * 20
        for tmpdir, error in (("/tmp/missing", "No such file or directory (os error 2)"),
                              (too_long, "File name too long (os error 36)")):
            r = self.run_oskel(tmpdir=tmpdir)
            self.assert_refused(r, f"Failed to create output directory {tmpdir}/oskel-data due "
                                   f"to: {error}.\n")
            self.assertFalse((r.tmp / "missing").exists())

    def test_anything_at_the_path_is_already_exists(self):
        for setup in ("mkdir /tmp/run/oskel-data", "touch /tmp/run/oskel-data",
                      "mkdir /tmp/t; ln -s /tmp/t /tmp/run/oskel-data"):
            r = self.run_oskel(setup=setup)
            self.assert_refused(r, "Output directory /tmp/run/oskel-data already exists.\n")

    def test_dangling_link_is_create_failed_with_eexist(self):
        r = self.run_oskel(setup="ln -s /tmp/nowhere /tmp/run/oskel-data")
        self.assert_refused(r, "Failed to create output directory /tmp/run/oskel-data due to: "
                               "File exists (os error 17).\n")

    def test_non_utf8_tmpdir_is_conversion_and_leaves_nothing(self):
        r = self.run_oskel(tmpdir=b"/tmp/bad\xff", setup="mkdir \"$TMPDIR\"")
        self.assert_refused(r, "Failed to create output directory due to conversion issues.\n")
        self.assertEqual(os.listdir(r.tmp / os.fsdecode(b"bad\xff")), [])


class Console(E2ETestCase):
    def test_lines_interleave_in_order_on_one_stream(self):
        r = self.run_oskel(stdout="merged", tools={})
        self.assertEqual(r.stdout, (
            "Collecting os info\n"
            "Collecting config files\n"
            "Failed to get oskel config files, skipping. No such file or directory (os error 2)\n"
            "Collecting log files\n"
            "Failed to get oskel logs, skipping. No such file or directory (os error 2)\n"
            "Collecting oskel info\n"
            "Failed to get oskel package details, skipping. No such file or directory (os error 2)\n"
            + ARCHIVE_LINE))

    def test_closed_stdout_still_completes(self):
        r = self.run_oskel(stdout="closed")
        self.assertEqual(r.rc, 0)
        self.assertTrue((r.tmp / "run/oskel-data.tar.gz").exists())
        self.assertFalse((r.tmp / "run/oskel-data").exists())

    def test_stdout_into_head_still_completes(self):
        r = self.run_oskel(stdout="head", setup="")
        self.assertEqual(r.rc, 0)
        self.assertEqual(r.stdout, "Collecting os info\n")
        self.assertTrue((r.tmp / "run/oskel-data.tar.gz").exists())


if __name__ == "__main__":
    unittest.main()
