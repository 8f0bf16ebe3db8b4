"""Runs as root where another account (the service, uid 1500) shares or owns TMPDIR, or
controls what the run starts from: nothing the run writes goes through what that account
placed, and the run never takes the space root keeps for itself."""

import os
import shutil
import stat
import unittest

from harness import ARCHIVE_LINE, CONFIG, EMULATOR, QUIET_TOOL, SANITIZED, VIEW, E2ETestCase, tool

SERVICE = "setpriv --reuid=1500 --regid=1500 --clear-groups"
ENOSPC = "No space left on device (os error 28)"
# The space unprivileged users may still use on /tmp/small, its block size and its blocks, its
# free inodes and its inodes.
FREE_SPACE = "stat -f -c '%a %S %b %d %c' /tmp/small"


class SharedTmpdir(E2ETestCase):
    def test_roots_link_moved_to_the_archive_path_is_replaced_not_followed(self):
        r = self.run_oskel(setup="echo precious > /tmp/victim; chown 1500:1500 /tmp/run; "
                                 "ln -s /tmp/victim /tmp/run/old.lnk; "
                                 f"{SERVICE} mv /tmp/run/old.lnk /tmp/run/oskel-data.tar.gz")
        self.assertTrue(r.stdout.endswith(ARCHIVE_LINE), r.stderr)
        self.assertEqual((r.tmp / "victim").read_text(), "precious\n")
        archive = r.tmp / "run/oskel-data.tar.gz"
        self.assertEqual(stat.S_IMODE(archive.lstat().st_mode), 0o600)
        self.assertIn("osInfo.txt", self.archived(r))

    def test_a_file_made_at_the_archive_path_just_before_the_rename_is_not_replaced(self):
        r = self.run_oskel(setup="chmod 1777 /tmp/run", seam="archive-path",
                           at_seam=f"{SERVICE} sh -c 'echo theirs > /tmp/run/oskel-data.tar.gz'")
        self.assertEqual(r.stderr.splitlines()[-1],
                         "Failed to archive output directory, /tmp/run/oskel-data, skipping. "
                         "the archive path is held by another account (uid 1500)")
        self.assertEqual((r.tmp / "run/oskel-data.tar.gz").read_text(), "theirs\n")
        self.assertEqual(sorted(os.listdir(r.tmp / "run")), ["oskel-data", "oskel-data.tar.gz"])

    def test_the_new_file_swapped_before_the_rename_is_not_renamed(self):
        r = self.run_oskel(setup="chmod 777 /tmp/run", seam="archive-path",
                           at_seam="f=$(ls /tmp/run/.oskel-data.tar.gz.*); "
                                   f"{SERVICE} mv $f /tmp/run/stolen; "
                                   f"{SERVICE} sh -c \"echo forged > $f\"")
        self.assertEqual(r.stderr.splitlines()[-1],
                         "Failed to archive output directory, /tmp/run/oskel-data, skipping. "
                         "the archive's new file was moved by another account")
        self.assertNotIn("Logs and config can be found", r.stdout)
        self.assertFalse((r.tmp / "run/oskel-data.tar.gz").exists())

    def test_a_file_at_the_new_archives_foreseen_name_is_never_written_through(self):
        # Without entropy (getrandom answers without filling its buffer) every name the run
        # tries for its new file is foreseeable, and the service has a file at it.
        if EMULATOR:
            self.skipTest("strace of qemu-user sees the emulator's system calls, not the tool's")
        if not shutil.which("strace"):
            self.skip_outside_ci("strace is missing: scripts/setup.sh test installs it")
        theirs = "/tmp/run/.oskel-data.tar.gz.0000000000000000"
        r = self.run_oskel(setup=f"chmod 1777 /tmp/run; {SERVICE} sh -c 'echo theirs > {theirs}'",
                           env={"ASAN_OPTIONS": "detect_leaks=0"} if SANITIZED else {},
                           wrapper="strace -f -qq -o /dev/null -e inject=getrandom:retval=8")
        self.assertEqual(r.stderr.splitlines()[-1], "Failed to archive output directory, "
                         "/tmp/run/oskel-data, skipping. File exists (os error 17)")
        self.assertEqual((r.tmp / theirs.removeprefix("/tmp/")).read_text(), "theirs\n")
        self.assertFalse((r.tmp / "run/oskel-data.tar.gz").exists())

    def test_roots_file_moved_into_a_shared_tmpdir_keeps_its_bytes_and_its_reader(self):
        # The file stays open on descriptor 3 of the staging shell, so its bytes can be read
        # after the run whatever became of its name. TMPDIR is sticky and world-writable, or
        # root:root 0775 with the service in group 0; or root's link at the archive path leads
        # into a root:1500 2775 directory (outside a sticky one, which its group could have
        # moved it into).
        link = ("mkdir -p /tmp/w/drop; chown 0:1500 /tmp/w/drop; chmod 2775 /tmp/w/drop; "
                "ln -s /tmp/w/drop/out.tar.gz /tmp/run/oskel-data.tar.gz; ")
        for setup, service, archive in (
                ("chmod 1777 /tmp/run; ", SERVICE, "run/oskel-data.tar.gz"),
                ("chmod 775 /tmp/run; ", "setpriv --reuid=1500 --regid=1500 --groups=0",
                 "run/oskel-data.tar.gz"), (link, SERVICE, "w/drop/out.tar.gz")):
            r = self.run_oskel(
                setup=setup + "mkdir /tmp/svc; chown 1500:0 /tmp/svc; echo precious > "
                f"/tmp/svc/report; exec 3</tmp/svc/report; {service} mv /tmp/svc/report /tmp/{archive}",
                after=f"cat /dev/fd/3; {SERVICE} tar tzf /tmp/{archive} >/dev/null "
                      "2>&1 && echo listed || echo refused")
            self.assertTrue(r.stdout.endswith(ARCHIVE_LINE), r.stderr)
            self.assertEqual(r.after, "precious\nrefused\n")
            self.assertEqual(stat.S_IMODE((r.tmp / archive).stat().st_mode), 0o600)

    def test_a_tmpdir_another_account_points_at_must_be_its_to_write(self):
        # Its link to root's directory; or root's world-writable directory it moved into /tmp
        # (renaming a directory takes write access to it), root's own 0755 one inside.
        # Its link also to root's 0777 directory whose ACL lets it only read; and to root:1500
        # 0775 where every access check is granted, as an emulator's stand-in may grant them
        # (root's "/" too): then the mode alone says, and it is not the owner.
        moved = ("mkdir -p /tmp/ww/logs/sub; chmod 777 /tmp/ww; chmod 1777 /tmp/ww/logs; "
                 f"{SERVICE} mv /tmp/ww/logs /tmp/moved")
        link = ("mkdir -p /opt/svc /opt/rootdir; chown 1500 /opt/svc; "
                f"{SERVICE} ln -s /opt/rootdir /opt/svc/tmp; ")
        acl = ("chmod 777 /opt/rootdir; python3 -c 'import os, struct; os.setxattr(\"/opt/rootdir\","
               " \"system.posix_acl_access\", struct.pack(\"<I\" + \"HHI\" * 5, 2, 1, 7, 2**32 - 1,"
               " 2, 5, 1500, 4, 7, 2**32 - 1, 16, 7, 2**32 - 1, 32, 7, 2**32 - 1))'")
        granted = "strace -f -qq -o /dev/null -e inject=faccessat2:retval=0"
        chosen = "was chosen by another account (uid 1500), which may not write it"
        cases = [("/opt/svc/tmp", link, "/opt/rootdir", chosen, ""),
                 ("/tmp/moved/sub", moved, "/tmp/moved/sub", "may have been chosen by anyone, "
                  "and not everyone may write it", ""),
                 ("/opt/svc/tmp", link + acl, "/opt/rootdir", chosen, ""),
                 ("/opt/svc/tmp", link + "chown 0:1500 /opt/rootdir; chmod 775 /opt/rootdir",
                  "/opt/rootdir", chosen, granted)]
        for tmpdir, setup, target, who, wrapper in cases:
            with self.subTest(setup=setup, wrapper=wrapper):
                if wrapper and EMULATOR:
                    self.skipTest("strace of qemu-user sees the emulator's system calls")
                if wrapper and not shutil.which("strace"):
                    self.skip_outside_ci("strace is missing: scripts/setup.sh test installs it")
                r = self.run_oskel(tmpdir=tmpdir, setup=setup, after=f"ls -A {target}",
                                   wrapper=wrapper,
                                   env={"ASAN_OPTIONS": "detect_leaks=0"} if SANITIZED else {})
                self.assertEqual((r.rc, r.stderr, r.after), (
                    1, f"Failed to create output directory {tmpdir}/oskel-data due to: the "
                       f"temporary directory {who}.\n", ""))

    def test_tmpdir_swapped_for_a_link_to_a_root_only_directory_gets_nothing(self):
        r = self.run_oskel(setup="mkdir -m 700 /tmp/private; echo old > /tmp/private/oskel-data.tar.gz; "
                                 f"rmdir /tmp/run; {SERVICE} ln -s /tmp/private /tmp/run")
        # The service's link in sticky /tmp: it, and anyone who could have moved it there.
        self.assertEqual((r.rc, r.stderr), (1, "Failed to create output directory "
                                               "/tmp/run/oskel-data due to: the source path may "
                                               "have been chosen by anyone, and not everyone may "
                                               "read it.\n"))
        self.assertEqual(os.listdir(r.tmp / "private"), ["oskel-data.tar.gz"])
        self.assertEqual((r.tmp / "private/oskel-data.tar.gz").read_text(), "old\n")

    def test_output_directory_swapped_before_its_open_is_refused_and_kept(self):
        # The service's directory with data, and its empty 0700 one, in place of the run's.
        for swapped_in, listing in ((f"{SERVICE} mv /tmp/run/keep /tmp/run/oskel-data", ["data"]),
                                    (f"{SERVICE} mkdir -m 700 /tmp/run/oskel-data", [])):
            r = self.run_oskel(
                setup="chown 1500:1500 /tmp/run; mkdir -m 700 /tmp/run/keep; "
                      "echo kept > /tmp/run/keep/data; chown -R 1500 /tmp/run/keep",
                seam="output-dir",
                at_seam=f"{SERVICE} mv /tmp/run/oskel-data /tmp/run/made; {swapped_in}")
            self.assertEqual((r.rc, r.stderr), (1, "Failed to create output directory "
                                                   "/tmp/run/oskel-data due to: the output "
                                                   "directory is not the one this run made.\n"))
            self.assertEqual(os.listdir(r.tmp / "run/oskel-data"), listing)
            self.assertEqual((r.tmp / "run/oskel-data").stat().st_uid, 1500)

    def test_log_named_like_the_runs_own_file_is_not_copied(self):
        r = self.run_oskel(config=CONFIG.replace("agent.log", "Info.txt"),
                           setup="mkdir /tmp/logs; echo planted > /tmp/logs/osInfo.txt; "
                                 "echo log > /tmp/logs/Info.txt")
        self.assertEqual(r.stderr, "Failed to get oskel logs, skipping. the name is one the "
                                   "collection uses for its own file\n")
        files = self.archived(r)
        self.assertTrue(files["osInfo.txt"][2].startswith(b"Platform: linux-"))
        self.assertEqual(files["Info.txt"][2], b"log\n")

    def test_runs_that_would_take_roots_reserve_stop_at_the_margin(self):
        cases = {
            # 9 MiB of random log: its copy fits, its archive, as large again, does not.
            "incompressible log": ("size=16m", "head -c 9437184 /dev/urandom > /tmp/logs/agent.log",
                           "Failed to archive output directory, /tmp/small/run/oskel-data, "
                           f"skipping. {ENOSPC}\n"),
            # 200 names of one MiB of log: 200 MiB of copies.
            "link farm": ("size=32m", "head -c 1048576 /dev/urandom > /tmp/logs/agent.log; "
                                      "for i in $(seq 200); do ln /tmp/logs/agent.log /tmp/logs/agent.log.$i; done",
                          f"Failed to get oskel logs, skipping. {ENOSPC}\n"),
            # Inodes filled to the margin before the run: not even the collection directory.
            "inodes at the margin": ("size=16m,nr_inodes=200", "i=0; while [ $(stat -f -c %d "
                                     "/tmp/small) -gt 2 ]; do i=$((i+1)); touch /tmp/small/f$i; done",
                                     "Failed to create output directory /tmp/small/run/oskel-data "
                                     f"due to: {ENOSPC}.\n"),
            # 600 names of an empty log: more copies than the file system has inodes.
            "empty link farm": ("size=16m,nr_inodes=500", "touch /tmp/logs/agent.log; "
                                "for i in $(seq 600); do ln /tmp/logs/agent.log /tmp/logs/agent.log.$i; done",
                                f"Failed to get oskel logs, skipping. {ENOSPC}\n"),
        }
        # On ext4 with 10 % kept for root, the space unprivileged users have is less than what
        # is free: the margin is kept in the former.
        cases["link farm, ext4"] = ("ext4", cases["link farm"][1], cases["link farm"][2])
        for name, (options, logs, line) in cases.items():
            with self.subTest(name):
                mount = (f"mount -t tmpfs -o mode=755,{options} tmpfs /tmp/small" if options != "ext4" else
                         "truncate -s 64m /tmp/img; mkfs.ext4 -q -m 10 /tmp/img; "
                         "mount -o loop /tmp/img /tmp/small")
                r = self.run_oskel(
                    config=CONFIG, tmpdir="/tmp/small/run", after=FREE_SPACE,
                    setup=f"mkdir /tmp/small /tmp/logs; {mount}; mkdir /tmp/small/run; {logs}")
                self.assertIn(line, r.stderr)
                available, block, blocks, free_inodes, inodes = map(int, r.after.split())
                self.assertGreaterEqual(available * block, min(blocks * block // 100, 64 << 20))
                self.assertGreaterEqual(free_inodes, min(inodes // 100, 65536))

    def test_empty_and_relative_path_entries_are_not_searched(self):
        fake = tool("echo ran > /tmp/ran")
        setup = (f"mkdir fake; printf '%s' '{fake}' > fake/dpkg-query; cp fake/dpkg-query .; "
                 "chmod 755 fake/dpkg-query dpkg-query")
        for entry in ("", "fake"):
            with self.subTest(entry=entry):
                r = self.run_oskel(setup=setup, tools={"dpkg-query": QUIET_TOOL},
                                   env={"PATH": f"{entry}:{VIEW}/stage/bin:{VIEW}/utils"})
                self.assertTrue(r.stdout.endswith(ARCHIVE_LINE), r.stderr)
                self.assertNotIn("package details", r.stderr)
                self.assertFalse((r.tmp / "ran").exists())


if __name__ == "__main__":
    unittest.main()
