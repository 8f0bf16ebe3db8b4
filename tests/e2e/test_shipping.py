"""The tool as shipped: the .deb installed with dpkg, and the fleet playbook run with Ansible.

Both run in a private mount namespace with overlays on /etc, /usr and /var, so dpkg and
Ansible change nothing on the host. A package of another architecture (a cross build's) is
installed there too, its architecture added to that namespace's dpkg, and its binary run under
the emulator.
"""

import os
import shlex
import shutil
import tempfile
import unittest
from pathlib import Path

from archive_reader import read_archive
from harness import BINARY, EMULATOR, HERE, VIEW, WORK_ROOT, E2ETestCase, run_in_namespace

DEB = os.environ.get("OSKEL_DEB", "")
REPO = HERE.parent.parent
ANSIBLE = REPO / "contrib/ansible"


def readme_command(readme: Path, program: str) -> str:
    """The first command of `readme`'s indented blocks that starts with `program`, its
    continuation lines joined."""
    lines = readme.read_text().splitlines()
    for index, line in enumerate(lines):
        if line.startswith("    " + program + " "):
            command = line.strip()
            while command.endswith("\\"):
                index += 1
                command = command[:-1] + lines[index].strip()
            return command
    raise AssertionError(f"{readme} shows no {program} command")


def in_namespace(body, files):
    """Runs `body` in a private namespace with overlays on /etc, /usr and /var; its work
    directory, with `files` ({name: host path}) copied into it, is at VIEW there."""
    Path(WORK_ROOT).mkdir(parents=True, exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix="ship.", dir=WORK_ROOT))
    for name, source in files.items():
        (work / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(source, work / name)
    proc = run_in_namespace(work, f"cd {VIEW}\n{body}", overlays=("/etc", "/usr", "/var"),
                            timeout=600)
    return work, proc


class Shipping(E2ETestCase):
    def run_script(self, body, files):
        work, proc = in_namespace(body, files)
        self.addCleanup(shutil.rmtree, work, ignore_errors=True)
        out = proc.stdout.decode(errors="replace") + proc.stderr.decode(errors="replace")
        self.assertEqual(proc.returncode, 0, out)
        return work, out

    def test_deb_installs_runs_and_removes_cleanly(self):
        if not DEB or not os.path.exists(DEB):
            self.fail(f"no package at OSKEL_DEB={DEB!r}: the packages test builds it")
        emulator = " ".join(shlex.quote(word) for word in EMULATOR)
        _, out = self.run_script(f"""
arch=$(dpkg-deb -f {VIEW}/pkg.deb Architecture)
[ "$arch" = "$(dpkg --print-architecture)" ] || dpkg --add-architecture "$arch"
dpkg --log=/dev/null --no-triggers -i {VIEW}/pkg.deb
test "$(command -v oskel_info)" = /usr/bin/oskel_info
test -f /usr/share/man/man1/oskel_info.1.gz
{emulator} "$(command -v oskel_info)" --help > {VIEW}/help.txt
mkdir /tmp/run
TMPDIR=/tmp/run PATH=/nonexistent {emulator} /usr/bin/oskel_info > {VIEW}/stdout 2> {VIEW}/stderr
tar -tzf /tmp/run/oskel-data.tar.gz > {VIEW}/members
dpkg --log=/dev/null --no-triggers -r oskel-info
test ! -e /usr/bin/oskel_info
test ! -e /usr/share/man/man1/oskel_info.1.gz
test ! -e /usr/share/doc/oskel-info
dpkg-query -W -f='${{Status}}' oskel-info 2>/dev/null | grep -q 'not-installed' \\
  || ! dpkg-query -W oskel-info 2>/dev/null
echo removed
""", {"pkg.deb": DEB})
        self.assertIn("removed", out)

    def test_playbook_as_its_readme_shows_with_tmp_noexec(self):
        """The README's command, pasted in a copy of the repository's root after run.sh built
        build/oskel_info, against the shipped inventory, on a host whose /tmp is noexec. An
        inventory without hosts fails and says so. The binary is picked by the host's
        architecture: said to be aarch64, the host gets oskel_binary_aarch64; said to be
        riscv64, it fails and names it."""
        if EMULATOR:
            self.skipTest("the playbook runs the binary as the host's own program, and this "
                          "host runs the aarch64 one only under the emulator; the x86_64 pass "
                          "runs the playbook, an aarch64 host's choice of binary included")
        if shutil.which("ansible-playbook") is None:
            self.skip_outside_ci("ansible-playbook is not installed; scripts/setup.sh test "
                                 "installs ansible-core")
        command = readme_command(ANSIBLE / "README.md", "ansible-playbook")
        self.assertEqual(command, readme_command(REPO / "README.md", "ansible-playbook"),
                         "the two READMEs show different playbook commands")
        q = shlex.quote
        config = '{"logging": {"log_file": "/var/log/keldra/oskel.log"}}'
        work, out = self.run_script(f"""
mkdir -p /opt/keldra/etc /var/log/keldra {VIEW}/home
echo {q(config)} > /opt/keldra/etc/keldra-oskel.cfg
echo started > /var/log/keldra/oskel.log
mkdir {VIEW}/stubs; printf '#!/bin/sh\\nexit 0\\n' > {VIEW}/stubs/rpm; chmod 755 {VIEW}/stubs/rpm
mount -o remount,noexec /tmp
cp {VIEW}/stubs/rpm /tmp/probe
if /tmp/probe 2>/dev/null; then echo "/tmp is not noexec"; exit 1; fi
rm /tmp/probe
# Ansible takes ~ from the account, not from HOME: both its temporary directories are named.
export HOME={VIEW}/home LC_ALL=C.UTF-8 ANSIBLE_LOCAL_TEMP={VIEW}/home/tmp \\
  ANSIBLE_REMOTE_TEMP={VIEW}/home/remote-tmp
export ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 PATH={VIEW}/stubs:$PATH
cd {VIEW}/repo
if ansible-playbook -i no-such-inventory.ini contrib/ansible/collect.yml > {VIEW}/no-host 2>&1
then echo "a run without hosts succeeded"; exit 1; fi
{command}
ls -A /tmp /var/tmp > {VIEW}/tmp-left
playbook="ansible-playbook -i contrib/ansible/inventory.ini contrib/ansible/collect.yml"
$playbook -e ansible_architecture=aarch64 -e oskel_binary_aarch64=build/oskel_info \
  -e oskel_binary_x86_64=no-such-binary -e dest=as-aarch64 > {VIEW}/as-aarch64 2>&1
if $playbook -e ansible_architecture=riscv64 > {VIEW}/as-riscv64 2>&1
then echo "a riscv64 host got a binary"; exit 1; fi
""", {"repo/build/oskel_info": BINARY, "repo/contrib/ansible/collect.yml": ANSIBLE / "collect.yml",
      "repo/contrib/ansible/inventory.ini": ANSIBLE / "inventory.ini"})
        self.assertIn("The inventory names no host", (work / "no-host").read_text())
        host_dir = work / "repo/oskel-archives/localhost"
        archive = host_dir / "oskel-data.tar.gz"
        self.assertTrue(archive.exists(), out)
        self.assertEqual(archive.stat().st_mode & 0o777, 0o600)
        self.assertEqual(host_dir.stat().st_mode & 0o777, 0o700)
        members, _ = read_archive(self, archive)
        self.assertEqual(members["oskel-data/oskel.log"][2], b"started\n")
        self.assertIn("oskel-data/keldra-oskel.cfg", members)
        left = [n for n in (work / "tmp-left").read_text().split() if ".oskel" in n]
        self.assertEqual(left, [], "the playbook left its directories on the host")
        self.assertTrue((work / "repo/as-aarch64/localhost/oskel-data.tar.gz").exists(),
                        (work / "as-aarch64").read_text())
        self.assertIn("localhost is of architecture riscv64: oskel_info is built for x86_64 "
                      "and aarch64 hosts only.", (work / "as-riscv64").read_text())

if __name__ == "__main__":
    unittest.main()
