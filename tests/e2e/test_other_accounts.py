"""Runs as root where another account (the service, uid 1500) owns the log directory or the
configuration: what that account plants is read with no more rights than it has, and nothing
but a regular file is ever opened."""

import re
import shutil
import stat
import unittest

from harness import ARCHIVE_LINE, CONFIG, EMULATOR, SANITIZED, E2ETestCase

SERVICE = "setpriv --reuid=1500 --regid=1500 --clear-groups"
EACCES = "Permission denied (os error 13)"
# Files only root may read: on /opt, and on /tmp, the logs' own file system (a hard link must
# stay on one).
# Readable by group 4 too, which the run is given as a supplementary group: a read that kept
# the run's groups would get them.
SECRETS = ("echo opt-secret > /opt/secret; echo tmp-secret > /tmp/secret; "
           "chgrp 4 /opt/secret /tmp/secret; chmod 640 /opt/secret /tmp/secret; ")
WITH_GROUP = "setpriv --groups=4"
# The service's log directory with its own log, and its own rotated log elsewhere.
SERVICE_LOGS = ("mkdir -p /tmp/logs /tmp/elsewhere; chown 1500:1500 /tmp/logs /tmp/elsewhere; "
                f"{SERVICE} sh -c 'echo own > /tmp/logs/agent.log; "
                "echo rotated > /tmp/elsewhere/agent.log.7'; ")


class OtherAccounts(E2ETestCase):
    def logs_line(self, r):
        """The log stage's failure line, less its fixed beginning."""
        prefix = "Failed to get oskel logs, skipping. "
        lines = [line for line in r.stderr.splitlines() if line.startswith(prefix)]
        self.assertEqual(len(lines), 1, r.stderr)
        return lines[0][len(prefix):]

    def test_what_the_service_plants_is_read_with_its_rights(self):
        plant = (f"{SERVICE} sh -c 'cd /tmp/logs; ln -s /opt/secret agent.log.key; "
                 "ln -s /tmp/elsewhere/agent.log.7 agent.log.7; "
                 "ln -s /proc/self/environ agent.log.env; "
                 "cp /bin/true agent.log.suid; chmod 6755 agent.log.suid'; "
                 "ln /tmp/secret /tmp/logs/agent.log.hard; ")
        r = self.run_oskel(config=CONFIG, setup=SECRETS + SERVICE_LOGS + plant,
                           env={"OSKEL_SECRET": "environ-secret"}, wrapper=WITH_GROUP)
        self.assertTrue(r.stdout.endswith(ARCHIVE_LINE), r.stdout)
        files = self.archived(r)
        self.assertEqual(sorted(n for n in files if n.startswith("agent")),
                         ["agent.log", "agent.log.7", "agent.log.suid"])
        self.assertEqual((files["agent.log"][2], files["agent.log.7"][2]), (b"own\n", b"rotated\n"))
        self.assertEqual(stat.S_IMODE(files["agent.log.suid"][1]), 0o755)
        # Whichever refused entry is listed first gives the line.
        self.assertIn(self.logs_line(r), (EACCES, "the source path is on a kernel pseudo file "
                                                  "system (procfs)"))
        for secret in ("opt-secret", "tmp-secret", "environ-secret"):
            self.assertNotIn(secret, str(files))

    def test_roots_own_link_in_roots_directory_is_followed(self):
        r = self.run_oskel(config=CONFIG, setup=SECRETS + "mkdir /tmp/logs; "
                                                          "ln -s /opt/secret /tmp/logs/agent.log")
        self.assertEqual(r.stderr, "")
        self.assertEqual(self.archived(r)["agent.log"][2], b"opt-secret\n")

    def test_a_link_of_the_service_anywhere_on_the_way_is_followed_with_its_rights(self):
        # In the middle of root's chain of links, and on the way to the log directory.
        setup = (SECRETS + "mkdir -p /opt/svc /opt/private /tmp/logs; chown 1500:1500 /opt/svc; "
                 "echo private > /opt/private/agent.log; chmod 700 /opt/private; "
                 f"{SERVICE} ln -s /opt/secret /opt/svc/agent.log; "
                 "ln -s /opt/svc/agent.log /tmp/logs/agent.log; ")
        r = self.run_oskel(config=CONFIG, setup=setup)
        self.assertEqual(r.stderr, f"Failed to get oskel logs, skipping. {EACCES}\n")
        self.assertNotIn("agent.log", self.archived(r))

        config = CONFIG.replace("/tmp/logs/", "/opt/svc/logs/")
        r = self.run_oskel(config=config, setup=setup + f"{SERVICE} ln -s /opt/private /opt/svc/logs")
        self.assertEqual(r.stderr, f"Failed to get oskel logs, skipping. {EACCES}\n")
        self.assertNotIn("agent.log", self.archived(r))

    def test_a_configuration_the_service_controls_steers_every_read(self):
        # The service owns the configuration's directory: its link there, and the log location
        # its configuration names, are read as the service.
        setup = (SECRETS + "mkdir /tmp/logs; echo root-log > /tmp/logs/agent.log; "
                 "chmod 600 /tmp/logs/agent.log; echo shared > /tmp/logs/agent.log.1; "
                 "chown 1500:1500 /opt/keldra/etc; ")
        r = self.run_oskel(config=CONFIG, setup=setup)
        self.assertEqual(r.stderr, f"Failed to get oskel logs, skipping. {EACCES}\n")
        files = self.archived(r)
        self.assertEqual(files["agent.log.1"][2], b"shared\n")
        self.assertNotIn("agent.log", files)

        r = self.run_oskel(config=CONFIG, setup=setup + (
            f"rm /opt/keldra/etc/keldra-oskel.cfg; {SERVICE} ln -s /opt/secret "
            "/opt/keldra/etc/keldra-oskel.cfg"))
        self.assertEqual(r.stderr, f"Failed to get oskel config files, skipping. {EACCES}\n"
                                   f"Failed to get oskel logs, skipping. {EACCES}\n")
        self.assertNotIn("keldra-oskel.cfg", self.archived(r))

    def test_devices_fifos_and_sockets_are_never_opened(self):
        if EMULATOR:
            self.skipTest("strace of qemu-user sees the emulator's system calls, not the tool's")
        if not shutil.which("strace"):
            self.skip_outside_ci("strace is missing: scripts/setup.sh test installs it")
        env = {"ASAN_OPTIONS": "detect_leaks=0"} if SANITIZED else {}
        setup = ("mkdir /tmp/logs; echo x > /tmp/logs/agent.log; mkfifo /tmp/logs/agent.log.fifo; "
                 "ln -s /dev/zero /tmp/logs/agent.log.zero; ln -s /dev/tty /tmp/logs/agent.log.tty")
        r = self.run_oskel(config=CONFIG, setup=setup, env=env, after="cat /tmp/trace",
                           wrapper="strace -f -qq -o /tmp/trace -e trace=open,openat")
        self.assertEqual(self.logs_line(r), "the source path is neither a regular file nor a "
                                            "symlink to a regular file")
        opened = [line for line in r.after.splitlines() if re.search(r"open(at)?\(", line)]
        # The log itself: never as a controlling terminal, never through a link swapped in.
        log = [line for line in opened if '"agent.log"' in line]
        self.assertTrue(log and "O_NOCTTY" in log[0] and "O_NOFOLLOW" in log[0], r.after)
        self.assertFalse([line for line in opened if re.search(r"fifo|zero|tty", line)])


if __name__ == "__main__":
    unittest.main()
