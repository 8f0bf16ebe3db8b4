"""The tool as shipped: the .deb installed with dpkg, and the fleet playbook run with Ansible.

Both run in a private mount namespace with overlays on /etc, /usr and /var, so dpkg and
Ansible change nothing on the host.
"""

import os
import shlex
import shutil
import tempfile
import unittest
from pathlib import Path

from archive_reader import read_archive
from harness import BINARY, HERE, VIEW, WORK_ROOT, E2ETestCase, run_in_namespace

DEB = os.environ.get("OSKEL_DEB", "")
PLAYBOOK = HERE.parent.parent / "contrib/ansible/collect.yml"


def in_namespace(body, files):
    """Runs `body` in a private namespace with overlays on /etc, /usr and /var; its work
    directory, with `files` ({name: host path}) copied into it, is at VIEW there."""
    Path(WORK_ROOT).mkdir(parents=True, exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix="ship.", dir=WORK_ROOT))
    for name, source in files.items():
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
        _, out = self.run_script(f"""
dpkg --log=/dev/null --no-triggers -i {VIEW}/pkg.deb
test "$(command -v oskel_info)" = /usr/bin/oskel_info
test -f /usr/share/man/man1/oskel_info.1.gz
oskel_info --help > {VIEW}/help.txt
mkdir /tmp/run
TMPDIR=/tmp/run PATH=/nonexistent /usr/bin/oskel_info > {VIEW}/stdout 2> {VIEW}/stderr
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

    def test_playbook_collects_from_localhost_and_cleans_up(self):
        if shutil.which("ansible-playbook") is None:
            reason = "ansible-playbook is not installed; scripts/setup.sh installs ansible-core"
            if os.environ.get("CI") == "true":
                self.fail(reason)
            self.skipTest(reason)
        q = shlex.quote
        config = '{"logging": {"log_file": "/var/log/keldra/oskel.log"}}'
        work, out = self.run_script(f"""
mkdir -p /opt/keldra/etc /var/log/keldra {VIEW}/home {VIEW}/collected
echo {q(config)} > /opt/keldra/etc/keldra-oskel.cfg
echo started > /var/log/keldra/oskel.log
mkdir {VIEW}/stubs; printf '#!/bin/sh\\nexit 0\\n' > {VIEW}/stubs/rpm; chmod 755 {VIEW}/stubs/rpm
export HOME={VIEW}/home LC_ALL=C.UTF-8 ANSIBLE_LOCAL_TEMP={VIEW}/home/tmp
export ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 PATH={VIEW}/stubs:$PATH
ansible-playbook -i 'localhost,' -c local {VIEW}/collect.yml \\
  -e oskel_binary={VIEW}/oskel_info -e dest={VIEW}/collected
ls -A /tmp > {VIEW}/tmp-left
""", {"oskel_info": BINARY, "collect.yml": PLAYBOOK})
        archive = work / "collected/localhost/oskel-data.tar.gz"
        self.assertTrue(archive.exists(), out)
        members, _ = read_archive(self, archive)
        self.assertEqual(members["oskel-data/oskel.log"][2], b"started\n")
        self.assertIn("oskel-data/keldra-oskel.cfg", members)
        left = [n for n in (work / "tmp-left").read_text().split() if n.endswith(".oskel")]
        self.assertEqual(left, [], "the playbook left its directory on the host")


if __name__ == "__main__":
    unittest.main()
