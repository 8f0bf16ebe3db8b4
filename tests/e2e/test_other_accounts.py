"""Runs as root where other accounts (the service, uid 1500, and bob, uid 1701) own the log
directory, the configuration or what lies on the way to them: whatever they chose is read with
no more rights than their uid alone gives them, whatever /etc/passwd and /etc/group say, and
nothing but a regular file is ever opened."""

import os
import re
import shutil
import stat
import unittest

from harness import ARCHIVE_LINE, CONFIG, EMULATOR, SANITIZED, VIEW, E2ETestCase

# The accounts, uid and gid apart, with several groups. The database says the service is in adm
# (4), which may read what root:adm 0640 holds, and lists its uid twice, first as svcadm in adm;
# no read is ever granted through either.
ACCOUNTS = (
    "printf '%s\\n' root:x:0:0:root:/root:/bin/sh nobody:x:65534:65534::/:/bin/sh "
    "syslog:x:104:110::/:/bin/sh alice:x:1000:1000::/:/bin/sh svcadm:x:1500:4::/:/bin/sh "
    "svc:x:1500:1600::/:/bin/sh bob:x:1701:1701::/:/bin/sh "
    "> /etc/passwd; "
    "printf '%s\\n' root:x:0: adm:x:4:syslog,svc syslog:x:110: svc:x:1600: svcdata:x:1601:svc "
    "ops:x:1700:bob,svc bob:x:1701: alice:x:1000: nogroup:x:65534: > /etc/group; ")
SERVICE = "setpriv --reuid=1500 --regid=1600 --groups=1600,1601,1700"
BOB = "setpriv --reuid=1701 --regid=1701 --groups=1700,1701"
CHOSEN = "the source path was chosen by another account (uid 1500), which may not read it"
MANY = "the source path can be changed by more than one other account"
ANYONE = "the source path may have been chosen by anyone, and not everyone may read it"
ELOOP = "Too many levels of symbolic links (os error 40)"
SERVED = "the source path is on a file system another account serves"
# Files only root may read: on /opt, and on /tmp, the logs' own file system (a hard link must
# stay on one). Readable by group 4 too, which the run is given as a supplementary group: a
# read that kept the run's groups would get them.
SECRETS = ("echo opt-secret > /opt/secret; echo tmp-secret > /tmp/secret; "
           "chgrp 4 /opt/secret /tmp/secret; chmod 640 /opt/secret /tmp/secret; "
           "mkdir -m 700 /opt/private /opt/private/dir; echo key-secret > /opt/private/key; ")
WITH_GROUP = "setpriv --groups=4"
# The service's log directory with its own log, and its own rotated log elsewhere.
SERVICE_LOGS = ("mkdir -p /tmp/logs /tmp/elsewhere; chown 1500:1600 /tmp/logs /tmp/elsewhere; "
                f"{SERVICE} sh -c 'echo own > /tmp/logs/agent.log; "
                "echo rotated > /tmp/elsewhere/agent.log.7'; ")
LOGS_LINE = "Failed to get oskel logs, skipping. "


def serve(mount, how=""):
    """Starts the service's FUSE server (or as `how` says: type, uid) on `mount`, a directory or
    a file there already, and waits for it."""
    return (f"[ -f {mount} ] || mkdir -p {mount}; python3 {VIEW}/exe/fuse_server.py {mount} 30 "
            f"{how} & fuse=$!; for i in $(seq 100); do mountpoint -q {mount} && break; sleep 0.1; "
            f"done; stat {mount}{'' if how else '/log'}; ")
CONFIG_LINE = "Failed to get oskel config files, skipping. "


class OtherAccounts(E2ETestCase):
    def logs_line(self, r):
        """The log stage's failure line, less its fixed beginning."""
        lines = [line for line in r.stderr.splitlines() if line.startswith(LOGS_LINE)]
        self.assertEqual(len(lines), 1, r.stderr)
        return lines[0][len(LOGS_LINE):]

    def assert_no_secret(self, files):
        for secret in ("opt-secret", "tmp-secret", "key-secret", "auth-secret", "tarvo-secret",
                       "nobody-secret", "environ-secret", "alice-secret"):
            self.assertNotIn(secret, str(files))

    def test_what_the_service_plants_is_read_with_its_rights(self):
        plant = (f"{SERVICE} sh -c 'cd /tmp/logs; ln -s /opt/secret agent.log.key; "
                 "ln -s /tmp/elsewhere/agent.log.7 agent.log.7; "
                 "ln -s /proc/self/environ agent.log.env; "
                 "cp /bin/true agent.log.suid; chmod 6755 agent.log.suid'; "
                 "ln /tmp/secret /tmp/logs/agent.log.hard; ")
        r = self.run_oskel(config=CONFIG, setup=ACCOUNTS + SECRETS + SERVICE_LOGS + plant,
                           env={"OSKEL_SECRET": "environ-secret"}, wrapper=WITH_GROUP)
        self.assertTrue(r.stdout.endswith(ARCHIVE_LINE), r.stdout)
        files = self.archived(r)
        self.assertEqual(sorted(n for n in files if n.startswith("agent")),
                         ["agent.log", "agent.log.7", "agent.log.suid"])
        self.assertEqual((files["agent.log"][2], files["agent.log.7"][2]), (b"own\n", b"rotated\n"))
        self.assertEqual(stat.S_IMODE(files["agent.log.suid"][1]), 0o755)
        # Whichever refused entry is listed first gives the line.
        self.assertIn(self.logs_line(r), (CHOSEN, ANYONE, "the source path is on a kernel pseudo "
                                                        "file system (procfs)"))
        self.assert_no_secret(files)

    def test_what_other_accounts_chose_is_refused_in_the_runs_own_words(self):
        # Each attack, with what the log stage (and, where given, the configuration's stage)
        # then says. The service's own log is collected throughout.
        auth = "echo auth-secret > /opt/auth.log; chown 0:4 /opt/auth.log; chmod 640 /opt/auth.log; "
        key_link = f"{SERVICE} ln -s /opt/private/key /tmp/logs/agent.log.key; "
        chain = "d/../" * 810  # 4 KB
        root_logs = CONFIG.replace("/tmp/logs/", "/tmp/root-logs/")
        # Uid 1000's FUSE mount over a log in root's own directory, its type with a subtype (and
        # group_id=0: 1000 read from the wrong option, or from its second digit on, is root).
        root_fuse = ("mkdir /tmp/root-logs; echo own > /tmp/root-logs/agent.log; touch "
                     "/tmp/root-logs/agent.log.fuse; " +
                     serve("/tmp/root-logs/agent.log.fuse", "fuse.svcfs 1000"))
        cases = [
            ("a setgid svc:adm directory: its link to an adm-only file",
             auth + "chgrp 4 /tmp/logs; chmod 2750 /tmp/logs; "
             f"{SERVICE} ln -s /opt/auth.log /tmp/logs/agent.log.2", "", CHOSEN, None),
            ("a configuration of svc:adm naming an adm-only file",
             auth + "chown 1500:4 /opt/keldra/etc/keldra-oskel.cfg",
             CONFIG.replace("/tmp/logs/agent.log", "/opt/auth.log"), CHOSEN, None),
            ("an account no database lists links to nobody:nogroup 0640",
             "mkdir /tmp/root-logs; echo own > /tmp/root-logs/agent.log; echo nobody-secret > "
             "/opt/ng; chown 65534:65534 /opt/ng; chmod 640 /opt/ng; "
             "ln -s /opt/ng /tmp/root-logs/agent.log.u; chown -h 1800 /tmp/root-logs/agent.log.u",
             CONFIG.replace("/tmp/logs/", "/tmp/root-logs/"), CHOSEN.replace("1500", "1800"), None),
            ("a world-writable configuration names nobody's own 0600 file",
             "mkdir -m 700 /opt/nob; echo own > /opt/nob/agent.log; echo nobody-secret > "
             "/opt/nob/agent.log.1; chown -R 65534 /opt/nob; chmod 600 /opt/nob/agent.log.1; "
             "chmod 666 /opt/keldra/etc/keldra-oskel.cfg",
             CONFIG.replace("/tmp/logs/", "/opt/nob/"), ANYONE, None),
            ("root's file moved into a sticky world-writable log directory",
             "chown 0 /tmp/logs; chmod 1777 /tmp/logs; mkdir /tmp/state; chown 1500 /tmp/state; "
             "echo key-secret > /tmp/state/key; chmod 600 /tmp/state/key; "
             f"{SERVICE} mv /tmp/state/key /tmp/logs/agent.log.key", "", ANYONE, None),
            ("a run whose securebits keep capabilities across the switch", key_link,
             "setpriv --securebits +no_setuid_fixup", CHOSEN, None),
            ("a caller other than root that may switch and read anything",
             key_link + "chown 1800 /tmp/run",
             "setpriv --reuid=1800 --regid=1800 --clear-groups "
             "--inh-caps=+setuid,+setgid,+dac_read_search "
             "--ambient-caps=+setuid,+setgid,+dac_read_search", CHOSEN, None),
            ("root's key moved in from the service's state directory",
             "mkdir /tmp/state; chown 1500 /tmp/state; echo key-secret > /tmp/state/key; "
             f"chmod 600 /tmp/state/key; {SERVICE} mv /tmp/state/key /tmp/logs/agent.log.key",
             "", CHOSEN, None),
            ("a file of the group whose id is the service's uid",
             "echo key-secret > /opt/g; chgrp 1500 /opt/g; chmod 640 /opt/g; "
             f"{SERVICE} ln -s /opt/g /tmp/logs/agent.log.g", "", CHOSEN, None),
            ("a run that may change its group but not its user", key_link,
             "setpriv --bounding-set=-setuid", CHOSEN, None),
            ("root's sibling configuration renamed over the service's",
             "chown 1500 /opt/keldra/etc; cd /opt/keldra/etc; "
             "echo '{\"tarvo-secret\": 1}' > keldra-tarvo.cfg; chmod 600 keldra-tarvo.cfg; "
             f"{SERVICE} mv keldra-tarvo.cfg keldra-oskel.cfg; cd /", "", CHOSEN, CHOSEN),
            ("a hard link that a member of the directory's group made",
             "chgrp 1700 /tmp/logs; chmod 775 /tmp/logs; echo key-secret > /tmp/svckey; "
             "chown 1500 /tmp/svckey; chmod 600 /tmp/svckey; ln /tmp/svckey /tmp/logs/agent.log.h",
             "", ANYONE, None),
            ("nobody's file behind two accounts' links",
             "mkdir /tmp/bob; chown 1701 /tmp/bob; echo nobody-secret > /tmp/nobody; "
             f"chown 65534 /tmp/nobody; chmod 600 /tmp/nobody; {BOB} ln -s /tmp/nobody /tmp/bob/l; "
             f"{SERVICE} ln -s /tmp/bob/l /tmp/logs/agent.log.n", "", ANYONE, None),
            ("a file behind another account's private directory",
             "mkdir -m 700 /tmp/alice; mkdir /tmp/alice/pub; echo alice-secret > /tmp/alice/pub/s; "
             "chown -R 1000:1000 /tmp/alice; "
             f"{SERVICE} ln -s /tmp/alice/pub/s /tmp/logs/agent.log.a", "", MANY, None),
            ("a directory only root may search, behind the service's link in root's directory",
             "mkdir /tmp/root-logs; echo own > /tmp/root-logs/agent.log; "
             "ln -s /opt/private/dir /tmp/root-logs/agent.log.d; "
             "chown -h 1500 /tmp/root-logs/agent.log.d",
             CONFIG.replace("/tmp/logs/", "/tmp/root-logs/"), CHOSEN, None),
            ("root's world-writable directory the service moved into sticky /tmp",
             "mkdir -p /tmp/ww/logs/sub; chmod 777 /tmp/ww; chmod 1777 /tmp/ww/logs; "
             "echo key-secret > /tmp/ww/logs/sub/agent.log; chmod 600 /tmp/ww/logs/sub/agent.log; "
             f"{SERVICE} mv /tmp/ww/logs /tmp/moved", CONFIG.replace("/tmp/logs/", "/tmp/moved/sub/"),
             ANYONE, None),
            ("a chain of long links that goes nowhere",
             f"{SERVICE} sh -c 'cd /tmp/logs; mkdir d; for i in $(seq 1 39); do "
             f"ln -s {chain}l$i l$((i - 1)); done; mv l0 agent.log.chain'", "", ELOOP, None),
            ("a link to itself", f"{SERVICE} ln -s agent.log.self /tmp/logs/agent.log.self",
             "", ELOOP, None),
            # The service's FUSE mount (user_id=1500, allow_other), whose reads are never answered
            # (the server ends itself after 30 s: a run that read it fails then).
            ("a file on the service's FUSE mount behind its link", serve("/tmp/fusemnt") +
             f"{SERVICE} ln -s /tmp/fusemnt/log /tmp/logs/agent.log.fuse", "", SERVED, None),
            ("the service's FUSE mount over a directory its group may write, behind root's link",
             "mkdir /tmp/root-logs /tmp/fusemnt; echo own > /tmp/root-logs/agent.log; chown 0:1600 "
             "/tmp/fusemnt; chmod 775 /tmp/fusemnt; " + serve("/tmp/fusemnt") +
             "ln -s /tmp/fusemnt/log /tmp/root-logs/agent.log.fuse",
             CONFIG.replace("/tmp/logs/", "/tmp/root-logs/"), SERVED, None),
            ("another account's FUSE mount over a log in root's directory", root_fuse, root_logs,
             SERVED, None),
            ("the same where no mount table can be read",
             root_fuse + "mount -t tmpfs tmpfs /proc; ", root_logs, SERVED, None),
        ]
        for scenario, plant, extra, logs, config in cases:
            with self.subTest(scenario):
                if "fuse_server" in plant and not os.path.exists("/dev/fuse"):
                    self.skip_outside_ci("/dev/fuse is missing: the kernel has no FUSE")
                config_text = extra if extra.startswith("{") else CONFIG
                wrapper = "" if extra.startswith("{") else extra
                # Without /proc, a sanitized build can neither check leaks nor name itself.
                no_proc = SANITIZED and "/proc;" in plant
                r = self.run_oskel(config=config_text, wrapper=wrapper,
                                   setup=ACCOUNTS + SECRETS + SERVICE_LOGS + plant,
                                   env={"ASAN_OPTIONS": "detect_leaks=0"} if no_proc else {},
                                   after="[ -z \"$fuse\" ] || { kill $fuse; wait $fuse; "
                                         "umount /tmp/fusemnt; }; "
                                         "[ -e /tmp/fuse-server-timed-out ] && echo waited")
                self.assertTrue(r.stdout.endswith(ARCHIVE_LINE), r.stdout + r.stderr)
                # The run never waited for the server to give up.
                self.assertFalse(r.after.endswith("waited\n"))
                expected = (f"{CONFIG_LINE}{config}\n" if config else "") + f"{LOGS_LINE}{logs}\n"
                stderr = "".join(line for line in r.stderr.splitlines(keepends=True)
                                 if not (no_proc and line.startswith("==")))
                self.assertEqual(stderr, expected)
                files = self.archived(r)
                if "/tmp/logs/" in config_text and not config:
                    self.assertEqual(files["agent.log"][2], b"own\n")
                self.assert_no_secret(files)

    def test_a_mount_placed_over_a_log_after_its_look_up_is_never_entered(self):
        # The service's FUSE file system, whose reads are never answered, mounted over its own
        # log between the run's look-up and its open.
        if not os.path.exists("/dev/fuse"):
            self.skip_outside_ci("/dev/fuse is missing: the kernel has no FUSE")
        r = self.run_oskel(config=CONFIG, setup=ACCOUNTS + SERVICE_LOGS, seam="resolve:agent.log",
                           at_seam=f"python3 {VIEW}/exe/fuse_server.py /tmp/logs/agent.log 30 & "
                                   "for i in $(seq 100); do mountpoint -q /tmp/logs/agent.log && "
                                   "break; sleep 0.1; done; mountpoint -q /tmp/logs/agent.log",
                           after="umount -l /tmp/logs/agent.log")
        self.assertEqual(r.stderr, "")
        self.assertEqual(self.archived(r)["agent.log"][2], b"own\n")

    def test_a_directory_moved_away_before_its_dot_dot_leads_nowhere(self):
        # A member of the group that may write root's /tmp/a moves /tmp/a/b to /tmp once the
        # run holds it: its ".." is /tmp by then, where everyone chooses, no longer /tmp/a.
        setup = (ACCOUNTS + "mkdir -p /tmp/a/b; chown 0:1600 /tmp/a /tmp/a/b; chmod 775 /tmp/a "
                 "/tmp/a/b; echo key-secret > /tmp/agent.log; chown 1701 /tmp/agent.log; "
                 "chmod 600 /tmp/agent.log")
        r = self.run_oskel(config=CONFIG.replace("/tmp/logs/", "/tmp/a/b/../"), setup=setup,
                           seam="resolve:b", at_seam=f"{SERVICE} mv /tmp/a/b /tmp/b2")
        self.assertEqual(self.logs_line(r), "No such file or directory (os error 2)")
        self.assert_no_secret(self.archived(r))

    def test_a_hosts_shared_log_directory_still_gives_every_log(self):
        # Ubuntu's /var/log: root:syslog 0775, the component's logs the service's, a root
        # daemon's log 0600 beside them.
        setup = (ACCOUNTS + "mkdir /tmp/logs; chown 0:110 /tmp/logs; chmod 775 /tmp/logs; "
                 "echo own > /tmp/logs/agent.log; echo old > /tmp/logs/agent.log.1; "
                 "chown 1500:1600 /tmp/logs/agent.log /tmp/logs/agent.log.1; "
                 "echo daemon > /tmp/logs/agent.log.daemon; chmod 600 /tmp/logs/agent.log.daemon; "
                 "echo syslog > /tmp/logs/agent.log.2; chown 104:4 /tmp/logs/agent.log.2; "
                 "chmod 640 /tmp/logs/agent.log.2")
        r = self.run_oskel(config=CONFIG, setup=setup)
        self.assertEqual(r.stderr, "")
        files = self.archived(r)
        self.assertEqual([files[n][2] for n in ("agent.log", "agent.log.1", "agent.log.2",
                                                "agent.log.daemon")],
                         [b"own\n", b"old\n", b"syslog\n", b"daemon\n"])

    def test_what_owners_and_their_grants_chose_is_collected(self):
        # The service's own logs where its group may write their directory (0755: above); a
        # configuration whose group or ACL entry may write it, naming root's logs; a run as the
        # service itself.
        own = (f"{SERVICE} sh -c 'cd /tmp/logs; umask 077; echo own > agent.log; umask 027; "
               "echo one > agent.log.1; echo two | gzip > agent.log.2.gz; ln -s agent.log.1 "
               "agent.log.link'; ")
        roots = "mkdir /tmp/root-logs; echo own > /tmp/root-logs/agent.log; chmod 600 /tmp/root-logs/agent.log; "
        acl = ("python3 -c 'import os, struct; os.setxattr(\"/opt/keldra/etc/keldra-oskel.cfg\", "
               "\"system.posix_acl_access\", struct.pack(\"<I\" + \"HHI\" * 5, 2, 1, 6, "
               "2**32 - 1, 2, 6, 1500, 4, 4, 2**32 - 1, 16, 6, 2**32 - 1, 32, 4, 2**32 - 1))'; ")
        root_config = CONFIG.replace("/tmp/logs/", "/tmp/root-logs/")
        root_fuse = ("mkdir /tmp/root-logs; echo own > /tmp/root-logs/agent.log; touch "
                     "/tmp/root-logs/agent.log.fuse; " +
                     serve("/tmp/root-logs/agent.log.fuse", "fuse.rootfs 0"))
        cases = [
            ("svc:svc 0775", own + "chmod 775 /tmp/logs", CONFIG, "",
             ["agent.log", "agent.log.1", "agent.log.2.gz", "agent.log.link"]),
            ("a root:keldra 0664 configuration", roots + "chgrp 1601 /opt/keldra/etc/*.cfg; "
             "chmod 664 /opt/keldra/etc/*.cfg", root_config, "", ["agent.log"]),
            ("a root 0644 configuration with the service's ACL entry", roots + acl, root_config,
             "", ["agent.log"]),
            ("a run as the service over its own files",
             own + "chown 1500 /tmp/run; chmod 755 /opt/.e2e /opt/.e2e/exe", CONFIG,
             SERVICE, ["agent.log", "agent.log.1", "agent.log.2.gz", "agent.log.link"]),
            # Its copy is the run's, mode 0040: the run must still read it back.
            ("a run as the service, its configuration readable through its group alone",
             own + "chown 1500 /tmp/run; chmod 755 /opt/.e2e /opt/.e2e/exe; "
             "chgrp 1600 /opt/keldra/etc/*.cfg; chmod 040 /opt/keldra/etc/*.cfg", CONFIG,
             SERVICE, ["agent.log", "agent.log.1", "agent.log.2.gz", "agent.log.link"]),
            ("root's own FUSE mount over a log", root_fuse, root_config, "",
             ["agent.log", "agent.log.fuse"]),
        ]
        for scenario, setup, config, wrapper, names in cases:
            with self.subTest(scenario):
                if "fuse_server" in setup and not os.path.exists("/dev/fuse"):
                    self.skip_outside_ci("/dev/fuse is missing: the kernel has no FUSE")
                r = self.run_oskel(config=config, setup=ACCOUNTS + SERVICE_LOGS + setup,
                                   wrapper=wrapper, after="[ -z \"$fuse\" ] || kill $fuse")
                self.assertEqual(r.stderr, "")
                files = self.archived(r)
                self.assertEqual(sorted(n for n in files if n.startswith("agent")), names)
                self.assertEqual(files["agent.log"][2], b"own\n")

    def test_roots_own_link_in_roots_directory_is_followed(self):
        r = self.run_oskel(config=CONFIG, setup=SECRETS + "mkdir /tmp/logs; "
                                                          "ln -s /opt/secret /tmp/logs/agent.log")
        self.assertEqual(r.stderr, "")
        self.assertEqual(self.archived(r)["agent.log"][2], b"opt-secret\n")

    def test_a_link_of_the_service_anywhere_on_the_way_is_followed_with_its_rights(self):
        # In the middle of root's chain of links, and on the way to the log directory.
        setup = (ACCOUNTS + SECRETS + "mkdir -p /opt/svc /tmp/logs; chown 1500:1600 /opt/svc; "
                 "echo private > /opt/private/agent.log; "
                 f"{SERVICE} ln -s /opt/secret /opt/svc/agent.log; "
                 "ln -s /opt/svc/agent.log /tmp/logs/agent.log; ")
        r = self.run_oskel(config=CONFIG, setup=setup)
        self.assertEqual(r.stderr, f"{LOGS_LINE}{CHOSEN}\n")
        self.assertNotIn("agent.log", self.archived(r))

        config = CONFIG.replace("/tmp/logs/", "/opt/svc/logs/")
        r = self.run_oskel(config=config, setup=setup + f"{SERVICE} ln -s /opt/private /opt/svc/logs")
        self.assertEqual(r.stderr, f"{LOGS_LINE}{CHOSEN}\n")
        self.assertNotIn("agent.log", self.archived(r))

    def test_a_configuration_the_service_controls_steers_every_read(self):
        # The service owns the configuration's directory: its link there, and the log location
        # its configuration names, are read as the service.
        setup = (ACCOUNTS + SECRETS + "mkdir /tmp/logs; echo root-log > /tmp/logs/agent.log; "
                 "chmod 600 /tmp/logs/agent.log; echo shared > /tmp/logs/agent.log.1; "
                 "chown 1500:1600 /opt/keldra/etc; ")
        r = self.run_oskel(config=CONFIG, setup=setup)
        self.assertEqual(r.stderr, f"{LOGS_LINE}{CHOSEN}\n")
        files = self.archived(r)
        self.assertEqual(files["agent.log.1"][2], b"shared\n")
        self.assertNotIn("agent.log", files)

        r = self.run_oskel(config=CONFIG, setup=setup + (
            f"rm /opt/keldra/etc/keldra-oskel.cfg; {SERVICE} ln -s /opt/secret "
            "/opt/keldra/etc/keldra-oskel.cfg"))
        self.assertEqual(r.stderr, f"{CONFIG_LINE}{CHOSEN}\n{LOGS_LINE}{CHOSEN}\n")
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
        # Held as handles (O_PATH) to be judged, never opened for reading.
        opened = [line for line in r.after.splitlines()
                  if re.search(r"open(at)?\(", line) and "O_PATH" not in line]
        # The log itself: from the handle judged, never by its name again (the first open
        # that names it makes the copy), never as a controlling terminal.
        named = [line for line in opened if '"agent.log"' in line]
        self.assertTrue(named and "O_WRONLY|O_CREAT|O_EXCL" in named[0], r.after)
        log = [line for line in opened if '"/proc/self/fd/' in line]
        self.assertTrue(log and "O_NOCTTY" in log[-1], r.after)
        self.assertFalse([line for line in opened if re.search(r"fifo|zero|tty", line)])


if __name__ == "__main__":
    unittest.main()
