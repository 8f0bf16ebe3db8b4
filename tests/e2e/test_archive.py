"""The archive a run leaves, and the archive stage's failures."""

import gzip
import os
import shlex
import stat
import tarfile
import unittest
import zlib

from archive_reader import raw_tar, read_archive
from harness import ARCHIVE_LINE, CONFIG, ENOENT, VIEW, E2ETestCase, tool
ARCHIVE_FAILURE = "Failed to archive output directory, /tmp/run/oskel-data, skipping. "
EACCES = "Permission denied (os error 13)"
ELOOP = "Too many levels of symbolic links (os error 40)"
HELD = "the archive path is held by another account (uid 54321)"
SMALL = "mount -t tmpfs -o size=16m tmpfs"
# Prints each directory named, then each regular file's size, blocks and contents' digest.
DIGESTS = f"python3 {VIEW}/exe/file_digest.py"
# Restores the archive $a with GNU tar, bsdtar and Python's tarfile in turn into a directory of
# the tmpfs /tmp/x, one of READERS, and gives the digests of what each restored.
EACH_READER = ("cd /tmp/x; for reader in gnu bsd py; do mkdir $reader; case $reader in "
               "gnu) tar -xzf $a -C gnu;; bsd) bsdtar -xzf $a -C bsd;; py) python3 -c \"import "
               "tarfile; tarfile.open('$a').extractall('py')\";; esac; "
               f"{DIGESTS} /tmp/x/$reader/oskel-data; rm -r $reader; done; cd /")
READERS = [f"/tmp/x/{reader}/oskel-data" for reader in ("gnu", "bsd", "py")]
# Runs the command twice at once, on CPU 0 alone and on every CPU, each with a TMPDIR of its
# own, until both archives hold the same tar stream (their time stamps may fall in two
# seconds), and says whether the two archives are the same bytes.
ONE_AND_EVERY_CPU = """#!/bin/bash
for _ in 1 2 3 4 5; do
  rm -rf /tmp/one /tmp/all; mkdir -m 700 /tmp/one /tmp/all
  TMPDIR=/tmp/one taskset -c 0 "$@" >/dev/null & TMPDIR=/tmp/all "$@" >/dev/null; wait $!
  a=/tmp/one/oskel-data.tar.gz b=/tmp/all/oskel-data.tar.gz
  if cmp -s <(gzip -dc $a) <(gzip -dc $b); then cmp $a $b && echo same bytes; exit; fi
done
echo never the same tar stream
"""


class Archive(E2ETestCase):
    def digests_after(self, r, *dirs):
        """What DIGESTS printed in the `after` text: {directory: {name: (size, blocks,
        digest)}}, for exactly `dirs`."""
        out, files = {}, None
        for line in r.after.splitlines():
            if line.endswith(":"):
                files = out.setdefault(line[:-1], {})
            elif files is not None:
                name, size, blocks, digest = line.split()
                files[name] = (int(size), int(blocks), digest)
        self.assertEqual(sorted(out), sorted(dirs), r.after)
        return out

    def test_normal_run_leaves_only_an_owner_only_archive(self):
        r = self.run_oskel(config='{"logging": {"log_file": "/tmp/logs/a.log"}}',
                           setup="mkdir /tmp/logs; echo one > /tmp/logs/a.log")
        self.assertEqual(r.rc, 0)
        self.assertTrue(r.stdout.endswith(ARCHIVE_LINE))
        self.assertEqual(sorted(os.listdir(r.tmp / "run")), ["oskel-data.tar.gz"])
        path = r.tmp / "run/oskel-data.tar.gz"
        self.assertEqual(stat.S_IMODE(path.stat().st_mode), 0o600)
        self.assertEqual(path.read_bytes()[:10], bytes.fromhex("1f8b08000000000000ff"))
        members, order = read_archive(self, path)
        self.assertEqual(order[0], "oskel-data")
        self.assertEqual(members["oskel-data"][0], tarfile.DIRTYPE)
        self.assertEqual(members["oskel-data/a.log"][2], b"one\n")
        # The whole mode word, file-type bits included.
        self.assertEqual(members["oskel-data/keldra-oskel.cfg"][1], 0o100644)
        # Nothing after the two end blocks.
        tar = raw_tar(path)
        self.assertEqual(tar[-1024:], bytes(1024))
        self.assertEqual(len(tar) % 512, 0)

    def test_compressed_rotations_read_back_with_every_reader(self):
        # Rotations compressed by the host's own tools are stored, the text log deflated, and
        # the hole after a gzip magic deflated in blocks of the tool's own: every reader must
        # still see the same members and bytes. TMPDIR is a small tmpfs: a hole written out
        # without end fills it instead of the disk.
        setup = ("mount -t tmpfs -o size=16m tmpfs /tmp/run; "
                 "mkdir /tmp/logs; cd /tmp/logs; seq 1 200000 > a.log; "
                 "head -c 300000 /dev/urandom > a.log.1; seq 1 50000 > a.log.2; "
                 "gzip -c a.log.1 > a.log.3.gz; gzip -c a.log.2 > a.log.4.gz; "
                 "printf '\\x1f\\x8b' > a.log.5.gz; cp a.log.5.gz a.log.6.gz; "
                 "truncate -s 3M a.log.6.gz; echo end >> a.log.6.gz")
        r = self.run_oskel(config='{"logging": {"log_file": "/tmp/logs/a.log"}}', setup=setup)
        self.assertEqual((r.rc, r.stderr), (0, ""))
        data = {k: v[2] for k, v in self.archived(r).items()}
        self.assertEqual(data["a.log"], "".join(f"{i}\n" for i in range(1, 200001)).encode())
        self.assertEqual(gzip.decompress(data["a.log.4.gz"]), data["a.log.2"])
        self.assertEqual(gzip.decompress(data["a.log.3.gz"]), data["a.log.1"])
        self.assertEqual(data["a.log.5.gz"], b"\x1f\x8b")
        self.assertEqual(data["a.log.6.gz"], b"\x1f\x8b" + bytes((3 << 20) - 2) + b"end\n")

    def test_same_archive_on_one_cpu_and_on_every_cpu(self):
        # Enough for workers on every CPU: megabytes of text, stored rotations, stretches of
        # zeros and a file with holes between them.
        text = "mkdir /tmp/logs; cd /tmp/logs; seq 1 900000 > a.log; seq 5 700000 > a.log.1"
        mix = (text + "; head -c 600000 /dev/urandom > r; gzip -c r > a.log.2.gz; "
               "gzip -c a.log.1 > a.log.3.gz; cat r a.log.1 > a.log.4; printf '\\x1f\\x8b' > a.log.5.gz; "
               "truncate -s 3M a.log.5.gz; echo end >> a.log.5.gz; truncate -s 5M a.log.6; "
               "echo hole >> a.log.6; rm r")
        for name, setup in (("text", text), ("mix", mix)):
            with self.subTest(name):
                r = self.run_oskel(config='{"logging": {"log_file": "/tmp/logs/a.log"}}',
                                   tools={"dpkg-query": tool("exit 0"), "twice": ONE_AND_EVERY_CPU},
                                   wrapper=f"bash {VIEW}/stage/bin/twice", setup=setup)
                self.assertEqual((r.stdout, r.stderr), ("same bytes\n", ""))
                data = {k: v[2] for k, v in self.archived(r, "all/oskel-data.tar.gz").items()}
                self.assertEqual(data["a.log"], "".join(f"{i}\n" for i in range(1, 900001)).encode())
                if name == "mix":
                    self.assertEqual(gzip.decompress(data["a.log.3.gz"]), data["a.log.1"])
                    self.assertEqual(data["a.log.5.gz"], b"\x1f\x8b" + bytes((3 << 20) - 2) + b"end\n")
                    self.assertEqual(data["a.log.6"], bytes(5 << 20) + b"hole\n")

    def test_log_of_a_tebibyte_with_holes_costs_the_archive_its_data_alone(self):
        # Six lines far apart (the map needs an extension block), then a hole to the end. Logs,
        # TMPDIR and what each reader extracts are small tmpfs, unmounted before /tmp is copied.
        # Per file: its size, its allocated blocks and what it holds at each line.
        # Beside it, logs whose maps fill the header and its extension blocks (4 entries, then
        # 21 each) exactly and by one more, each entry a page of data or the last, empty one
        # of a file that ends in a hole; a hole of 2 GiB first makes each a sparse member.
        lines = [0, 1 << 30, 64 << 30, 256 << 30, (512 << 30) + 1, 768 << 30]
        entries = [(4, ""), (4, "h"), (5, ""), (25, ""), (25, "h"), (26, ""), (46, ""), (46, "h"),
                   (47, "h")]
        make_maps = (f"for n, hole in {entries}:\n"
                     "    with open(f'/tmp/logs/agent.log.{n}{hole}', 'wb') as f:\n"
                     "        for i in range(n - len(hole)):\n"
                     "            f.seek((2 << 30) + 8192 * i)\n"
                     "            f.write(b'region %d of %d\\n' % (i, n))\n"
                     "        f.truncate(f.tell() + len(hole) * 65536)\n")
        at, small = " ".join(map(str, lines)), SMALL
        readers = ("tar -xzf $a -C gnu; bsdtar -xzf $a -C bsd; python3 -c \"import tarfile; "
                   "tarfile.open('$a').extractall('py')\"")
        r = self.run_oskel(config=CONFIG, setup=(
            f"mkdir /tmp/logs /tmp/x; {small} /tmp/logs; {small} /tmp/run; for at in {at}; do "
            "echo line at $at | dd of=/tmp/logs/agent.log oflag=seek_bytes seek=$at conv=notrunc "
            "status=none; done; truncate -s 1T /tmp/logs/agent.log; "
            f"python3 -c {shlex.quote(make_maps)}"), after=(
            f"{small} /tmp/x; cd /tmp/x; a=/tmp/run/oskel-data.tar.gz; mkdir gnu bsd py; {readers}; "
            f"for f in /tmp/logs/agent.log */oskel-data/agent.log; do echo $(stat -c '%s %b' $f; for at in {at}; "
            "do dd if=$f iflag=skip_bytes skip=$at bs=32 count=1 status=none | tr -d '\\0'; done); done; "
            f"{DIGESTS} /tmp/logs gnu/oskel-data bsd/oskel-data py/oskel-data; "
            "cd /; umount /tmp/x /tmp/logs"))
        self.assertEqual((r.rc, r.stderr), (0, ""))
        self.assertLess((r.tmp / "run/oskel-data.tar.gz").stat().st_size, 16384)
        original, *extracted = r.after.splitlines()[:4]
        self.assertEqual(extracted, [original] * 3)
        self.assertEqual(original.split()[0], str(1 << 40))
        self.assertLess(int(original.split()[1]), 2048)
        self.assertEqual(original.split(maxsplit=2)[2], " ".join(f"line at {at}" for at in lines))
        # Each map read back by every reader: the same size and data, and its holes still holes.
        readers = ("gnu/oskel-data", "bsd/oskel-data", "py/oskel-data")
        digests = self.digests_after(r, "/tmp/logs", *readers)
        for reader in readers:
            for n, hole in entries:
                name = f"agent.log.{n}{hole}"
                (size, _, digest), restored = digests["/tmp/logs"][name], digests[reader][name]
                self.assertEqual(restored[::2], (size, digest), f"{reader} {name}")
                self.assertLess(restored[1], 2 * n * 8, f"{reader} {name}")  # pages of 8 blocks
        with tarfile.open(r.tmp / "run/oskel-data.tar.gz") as archive:
            for n, hole in entries:
                self.assertEqual(archive.getmember(f"oskel-data/agent.log.{n}{hole}").type,
                                 tarfile.GNUTYPE_SPARSE)

    def test_holes_within_1_gib_over_the_run_are_ordinary_members_busybox_reads(self):
        # A log with a 5 MiB hole, one that copytruncate left behind a 64 MiB one, and a plain
        # one: every member is an ordinary one, which BusyBox tar extracts as every tar does.
        r = self.run_oskel(config=CONFIG, setup=(
            f"mkdir /tmp/logs /tmp/x; {SMALL} /tmp/logs; {SMALL} /tmp/run; cd /tmp/logs; "
            "echo head > agent.log; truncate -s 5M agent.log; echo tail >> agent.log; "
            "truncate -s 64M agent.log.1; echo after copytruncate >> agent.log.1; "
            "seq 1 1000 > agent.log.2"), after=(
            "mount -t tmpfs -o size=128m tmpfs /tmp/x; "
            "busybox tar -xzf /tmp/run/oskel-data.tar.gz -C /tmp/x || echo busybox failed; "
            f"{DIGESTS} /tmp/logs /tmp/x/oskel-data; cd /; umount /tmp/x /tmp/logs"))
        self.assertEqual((r.rc, r.stderr), (0, ""))
        self.assertNotIn("busybox failed", r.after)
        with tarfile.open(r.tmp / "run/oskel-data.tar.gz") as archive:
            self.assertEqual([m.name for m in archive if m.type == tarfile.GNUTYPE_SPARSE], [])
        digests = self.digests_after(r, "/tmp/logs", "/tmp/x/oskel-data")
        logs = digests["/tmp/logs"]
        self.assertEqual(sorted(logs), ["agent.log", "agent.log.1", "agent.log.2"])
        for name, (size, _, digest) in logs.items():
            self.assertEqual(digests["/tmp/x/oskel-data"][name][::2], (size, digest), name)

    def test_holes_past_1_gib_over_the_run_are_sparse_members_every_reader_restores(self):
        # Two logs with holes of 520 MiB: the first one archived is whole, the second passes
        # the budget.
        r = self.run_oskel(config=CONFIG, setup=(
            f"mkdir /tmp/logs /tmp/x; {SMALL} /tmp/logs; {SMALL} /tmp/run; cd /tmp/logs; "
            "for f in agent.log agent.log.1; do echo head > $f; truncate -s 520M $f; "
            "echo tail of $f >> $f; done"),
            after=(
            "a=/tmp/run/oskel-data.tar.gz; mount -t tmpfs -o size=1100m tmpfs /tmp/x; "
            f"{DIGESTS} /tmp/logs; {EACH_READER}; umount /tmp/x /tmp/logs"))
        self.assertEqual((r.rc, r.stderr), (0, ""))
        self.assertLess((r.tmp / "run/oskel-data.tar.gz").stat().st_size, 1 << 20)
        with tarfile.open(r.tmp / "run/oskel-data.tar.gz") as archive:
            sparse = sorted(m.name for m in archive if m.type == tarfile.GNUTYPE_SPARSE)
        self.assertEqual(len(sparse), 1, sparse)
        digests = self.digests_after(r, "/tmp/logs", *READERS)
        logs = digests["/tmp/logs"]
        self.assertEqual(sorted(logs), ["agent.log", "agent.log.1"])
        for reader in READERS:
            for name, (size, _, digest) in logs.items():
                restored = digests[reader][name]
                self.assertEqual(restored[::2], (size, digest), f"{reader} {name}")
                # A sparse member's hole is restored as a hole.
                if "oskel-data/" + name in sparse:
                    self.assertLess(restored[1], 1024, f"{reader} {name}")

    def test_log_of_more_data_regions_than_the_map_holds_costs_its_data_alone(self):
        # 66,000 pages of data a page apart, but for a hole of 64 MiB after every thousandth,
        # then a hole of 16 TiB: the map keeps the largest holes and merges 465 of one page.
        # Logs, TMPDIR and what each reader extracts are tmpfs sized for the data alone.
        regions, page = 66000, 4096
        content = lambda i: (b"%06d one page of data\n" % i * 200)[:page]
        make_log = ("import os\n"
                    "fd = os.open('/tmp/logs/agent.log', os.O_WRONLY | os.O_CREAT, 0o644)\n"
                    "at = 0\n"
                    f"for i in range({regions}):\n"
                    "    os.pwrite(fd, (b'%06d one page of data\\n' % i * 200)[:4096], at)\n"
                    "    at += 8192 if i % 1000 else 4096 + (64 << 20)\n"
                    "os.ftruncate(fd, at + (16 << 40))\n")
        mount = "mount -t tmpfs -o size=300m tmpfs"
        r = self.run_oskel(config=CONFIG, setup=(
            f"mkdir /tmp/logs /tmp/x; {mount} /tmp/logs; {mount} /tmp/run; "
            f"python3 -c {shlex.quote(make_log)}"), after=(
            f"a=/tmp/run/oskel-data.tar.gz; {mount} /tmp/x; {DIGESTS} /tmp/logs; {EACH_READER}; "
            "umount /tmp/x /tmp/logs"))
        self.assertEqual((r.rc, r.stderr), (0, ""))
        # No larger than the data deflated, plus the map's 1.5 MiB of header blocks and the
        # merged holes' 1.9 MiB of zeros, deflated.
        deflate = zlib.compressobj(6, zlib.DEFLATED, -15)
        data = sum(len(deflate.compress(content(i))) for i in range(regions)) + len(deflate.flush())
        self.assertLess((r.tmp / "run/oskel-data.tar.gz").stat().st_size, data + (512 << 10))
        digests = self.digests_after(r, "/tmp/logs", *READERS)
        size, blocks, digest = digests["/tmp/logs"]["agent.log"]
        self.assertEqual(blocks, regions * page // 512)
        for reader in READERS:
            restored = digests[reader]["agent.log"]
            self.assertEqual(restored[::2], (size, digest), reader)
            # The holes of 64 MiB and 16 TiB are holes again; those merged are zeros.
            self.assertLessEqual(restored[1], blocks + 465 * page // 512, reader)

    def test_old_archive_is_rewritten_owner_only(self):
        r = self.run_oskel(setup="head -c 100000 /dev/urandom > /tmp/run/oskel-data.tar.gz; "
                                 "chmod 644 /tmp/run/oskel-data.tar.gz")
        path = r.tmp / "run/oskel-data.tar.gz"
        self.assertEqual(stat.S_IMODE(path.stat().st_mode), 0o600)
        read_archive(self, path)

    def test_directory_at_archive_path(self):
        r = self.run_oskel(setup="mkdir /tmp/run/oskel-data.tar.gz; touch /tmp/run/oskel-data.tar.gz/keep")
        self.assertEqual(r.rc, 0)
        self.assertNotIn("Logs and config can be found", r.stdout)
        self.assertTrue(r.stderr.endswith(ARCHIVE_FAILURE + "Is a directory (os error 21)\n"))
        self.assertTrue((r.tmp / "run/oskel-data/osInfo.txt").exists())
        self.assertEqual(os.listdir(r.tmp / "run/oskel-data.tar.gz"), ["keep"])

    def test_full_disk_keeps_the_output_directory(self):
        # The logs fit on the tiny file system once; their archive does not.
        r = self.run_oskel(
            tmpdir="/tmp/small",
            config='{"logging": {"log_file": "/tmp/logs/big.log"}}',
            setup="mkdir -p /tmp/small /tmp/logs; mount -t tmpfs -o size=1m tmpfs /tmp/small; "
                  "head -c 700000 /dev/urandom > /tmp/logs/big.log",
        )
        self.assertEqual(r.rc, 0)
        self.assertNotIn("Logs and config can be found", r.stdout)
        self.assertTrue(r.stderr.endswith(
            "Failed to archive output directory, /tmp/small/oskel-data, skipping. "
            "No space left on device (os error 28)\n"), r.stderr)
        self.assertTrue((r.tmp / "small/oskel-data/big.log").exists())

    def test_sticky_directory_refuses_foreign_links_and_files(self):
        foreign_link = ("chmod 1777 /tmp/run; echo precious > /tmp/victim; "
                        "ln -s /tmp/victim /tmp/run/oskel-data.tar.gz; "
                        "chown -h 54321:54321 /tmp/run/oskel-data.tar.gz")
        foreign_file = ("chmod 1777 /tmp/run; echo planted > /tmp/run/oskel-data.tar.gz; "
                        "chown 54321:54321 /tmp/run/oskel-data.tar.gz")
        for setup in (foreign_link, foreign_file):
            r = self.run_oskel(setup=setup)
            self.assertTrue(r.stderr.endswith(ARCHIVE_FAILURE + HELD + "\n"), r.stderr)
            self.assertTrue((r.tmp / "run/oskel-data").is_dir())
        self.assertEqual((r.tmp / "run/oskel-data.tar.gz").read_text(), "planted\n")
        # A link of our own is not followed either where others could have moved it there: the
        # new archive takes its name.
        r = self.run_oskel(setup="chmod 1777 /tmp/run; ln -s /tmp/mine.tgz /tmp/run/oskel-data.tar.gz")
        self.assertTrue(r.stdout.endswith(ARCHIVE_LINE))
        self.assertFalse((r.tmp / "mine.tgz").exists())
        read_archive(self, r.tmp / "run/oskel-data.tar.gz")

    def test_cleanup_failure_is_reported_after_the_success_line(self):
        # An immutable-like obstacle: a read-only bind mount inside the output directory.
        tool = "#!/bin/sh\nmkdir /tmp/run/oskel-data/ro && mount -t tmpfs -o ro tmpfs /tmp/run/oskel-data/ro\n"
        r = self.run_oskel(tools={"dpkg-query": tool})
        self.assertEqual(r.rc, 0)
        self.assertTrue(r.stdout.endswith(ARCHIVE_LINE))
        self.assertTrue(r.stderr.endswith("logs, skipping. No such file or directory (os error 2)\n"
                                          "Failed to clean up directory, /tmp/run/oskel-data\n"))


class OtherAccounts(E2ETestCase):
    """What another account can put in the run's way in a TMPDIR it shares or owns."""

    def assert_refused_and_untouched(self, r, reason=EACCES):
        self.assertEqual(r.stderr.splitlines()[-1], ARCHIVE_FAILURE + reason)
        self.assertNotIn("Logs and config can be found", r.stdout)
        self.assertEqual((r.tmp / "victim").read_text(), "precious\n")
        self.assertTrue((r.tmp / "run/oskel-data/osInfo.txt").exists())

    def test_hard_link_at_the_archive_path_is_left_untouched(self):
        # Made as root here: what another account can make where fs.protected_hardlinks is 0.
        self.assert_refused_and_untouched(self.run_oskel(
            setup="echo precious > /tmp/victim; ln /tmp/victim /tmp/run/oskel-data.tar.gz"))

    def test_roots_own_file_or_link_leads_nowhere_else(self):
        # Root's old archive, judged the run's own, then swapped for a link or a hard link;
        # root's link leading to another link of root's, which leads to another account's; and
        # root's link to a directory.
        swap = "rm /tmp/run/oskel-data.tar.gz; ln {} /tmp/victim /tmp/run/oskel-data.tar.gz"
        chain = ("mkdir /tmp/svc; chown 54321:54321 /tmp/svc; setpriv --reuid=54321 "
                 "--regid=54321 --clear-groups ln -s /tmp/victim /tmp/svc/out.tar.gz; "
                 "ln -s /tmp/svc/out.tar.gz /opt/out; ln -s /opt/out /tmp/run/oskel-data.tar.gz")
        # Root's link whose target ends in "/" names a directory, as the kernel has it.
        slash = "mkdir /tmp/out; ln -s /tmp/out/ /tmp/run/oskel-data.tar.gz"
        cases = [("echo old > /tmp/run/oskel-data.tar.gz", swap.format("-s"), ELOOP),
                 ("echo old > /tmp/run/oskel-data.tar.gz", swap.format(""), EACCES),
                 (chain, "", ELOOP), (slash, "", "Is a directory (os error 21)")]
        for setup, at_seam, reason in cases:
            with self.subTest(at_seam or setup):
                self.assert_refused_and_untouched(self.run_oskel(
                    setup="echo precious > /tmp/victim; " + setup,
                    seam="archive-path" if at_seam else "", at_seam=at_seam), reason)

    def test_link_of_the_account_owning_tmpdir_is_not_followed(self):
        self.assert_refused_and_untouched(self.run_oskel(
            setup="echo precious > /tmp/victim; chown 54321:54321 /tmp/run; "
                  "setpriv --reuid=54321 --regid=54321 --clear-groups "
                  "ln -s /tmp/victim /tmp/run/oskel-data.tar.gz"), HELD)

    def test_roots_link_leads_no_further_than_the_way_root_owns(self):
        # Root's own link at the archive path leads into a directory another account owns,
        # where that account links on to the victim.
        self.assert_refused_and_untouched(self.run_oskel(
            setup="echo precious > /tmp/victim; mkdir /tmp/svc; chown 54321:54321 /tmp/svc; "
                  "setpriv --reuid=54321 --regid=54321 --clear-groups "
                  "ln -s /tmp/victim /tmp/svc/out.tar.gz; "
                  "ln -s /tmp/svc/out.tar.gz /tmp/run/oskel-data.tar.gz"))

    def test_output_directory_swapped_for_a_link_changes_nothing_outside_it(self):
        # Between the log stage and the archive, the package tool puts a link where the output
        # directory was, then fails, so its stage removes its file again; or another account's
        # directory, which the clean-up leaves as it is.
        other = tool("mv /tmp/run/oskel-data /tmp/run/moved; mv /tmp/svcdir /tmp/run/oskel-data")
        r = self.run_oskel(tools={"dpkg-query": other}, setup="mkdir /tmp/svcdir; chown 1500 /tmp/svcdir")
        self.assertTrue(r.stderr.endswith("Failed to clean up directory, /tmp/run/oskel-data\n"))
        self.assertEqual((r.tmp / "run/oskel-data").stat().st_uid, 1500)
        self.assertEqual(os.listdir(r.tmp / "run/moved"), [])

        swap = tool("mv /tmp/run/oskel-data /tmp/run/moved; ln -s /tmp/elsewhere /tmp/run/oskel-data; "
                    "printf '\\377'")
        r = self.run_oskel(tools={"dpkg-query": swap},
                           setup="mkdir /tmp/elsewhere; echo precious > /tmp/elsewhere/oskelPackageInfo.txt")
        self.assertEqual(r.stderr, f"Failed to get oskel config files, skipping. {ENOENT}\n"
                                   f"Failed to get oskel logs, skipping. {ENOENT}\n"
                                   "Failed to get oskel package details, skipping. invalid utf-8 "
                                   "sequence of 1 bytes from index 0\n"
                                   "Failed to clean up directory, /tmp/run/oskel-data\n")
        self.assertTrue(r.stdout.endswith(ARCHIVE_LINE), r.stdout)
        self.assertEqual(os.listdir(r.tmp / "elsewhere"), ["oskelPackageInfo.txt"])
        self.assertEqual((r.tmp / "elsewhere/oskelPackageInfo.txt").read_text(), "precious\n")
        self.assertEqual(sorted(self.archived(r)), ["osInfo.txt"])
        self.assertEqual(os.listdir(r.tmp / "run/moved"), [])


if __name__ == "__main__":
    unittest.main()
