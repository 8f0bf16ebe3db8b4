"""Runs the real oskel_info binary inside a private mount namespace.

Inside `unshare --mount` the run sees an overlay on /etc (so a case can stage, replace or
delete os-release, lsb-release and system-release), a tmpfs on /opt with /opt/keldra/etc
staged or absent, a tmpfs on /tmp, a private TMPDIR and fake package tools first on PATH.
The host is never changed: every mount disappears with the namespace. What the run leaves in
its temporary directory is copied out before the namespace ends.
"""

import os
import shlex
import shutil
import subprocess
import tempfile
import unittest
from dataclasses import dataclass, field
from pathlib import Path

BINARY = os.environ.get("OSKEL_BINARY", "")
WORK_ROOT = os.environ.get("E2E_WORK", tempfile.gettempdir())

DEBIAN_OS_RELEASE = 'PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"\nNAME="Debian GNU/Linux"\nVERSION_ID="12"\nID=debian\n'
UBUNTU_OS_RELEASE = 'PRETTY_NAME="Ubuntu 22.04.4 LTS"\nNAME="Ubuntu"\nVERSION_ID="22.04"\nID=ubuntu\n'
ROCKY_OS_RELEASE = 'NAME="Rocky Linux"\nVERSION_ID="9.3"\nID="rocky"\n'

# A package tool that answers at once with nothing: keeps runs independent of the host.
QUIET_TOOL = "#!/bin/sh\nexit 0\n"


def requirements_missing():
    if os.geteuid() != 0:
        return "black-box runs need root for a private mount namespace"
    if not BINARY or not os.access(BINARY, os.X_OK):
        return "OSKEL_BINARY does not name the built binary"
    return None


@dataclass
class Run:
    """What to stage for one run of the binary."""

    etc: dict = field(default_factory=lambda: {"os-release": DEBIAN_OS_RELEASE})
    etc_remove: tuple = ("os-release", "lsb-release", "system-release")
    config: str | bytes | None = None  # /opt/keldra/etc/keldra-oskel.cfg
    config_mode: int = 0o644
    tools: dict = field(default_factory=lambda: {"dpkg-query": QUIET_TOOL, "rpm": QUIET_TOOL})
    tmpdir: str | bytes | None = "/tmp/run"  # None: unset
    args: tuple = ()
    setup: str = ""  # shell run inside the namespace before the binary
    after: str = ""  # shell run inside the namespace after it
    stdout: str = "pipe"  # pipe | closed | head | merged
    umask: str = "022"
    env: dict = field(default_factory=dict)


@dataclass
class Result:
    rc: int
    stdout: str
    stderr: str
    tmp: Path  # copy of /tmp as the run left it
    work: Path
    after: str


def _write(path: Path, content, mode=0o644):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    path.chmod(mode)


def run(plan: Run) -> Result:
    Path(WORK_ROOT).mkdir(parents=True, exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix="e2e.", dir=WORK_ROOT))
    stage = work / "stage"
    for name, content in plan.etc.items():
        _write(stage / "etc" / name, content)
    if plan.config is not None:
        _write(stage / "opt/keldra/etc/keldra-oskel.cfg", plan.config, plan.config_mode)
    (stage / "opt/keldra/etc").mkdir(parents=True, exist_ok=True)
    for name, body in plan.tools.items():
        _write(stage / "bin" / name, body, 0o755)
    (stage / "bin").mkdir(parents=True, exist_ok=True)
    for name in ("scratch", "tmp-after", "cwd"):
        (work / name).mkdir()

    q = shlex.quote
    env_lines = [f"export PATH={q(str(stage / 'bin'))}:$PATH"]
    if plan.tmpdir is None:
        env_lines.append("unset TMPDIR")
    else:
        raw = plan.tmpdir if isinstance(plan.tmpdir, bytes) else plan.tmpdir.encode()
        env_lines.append("export TMPDIR=\"$(printf '" + "".join(f"\\{b:03o}" for b in raw) + "')\"")

    # Remove before staging: cp onto /etc/os-release, a link into /usr, would write the host.
    removals = " ".join(q("/etc/" + name) for name in (*plan.etc_remove, *plan.etc))
    # Extra variables reach the binary alone, not the staging commands around it.
    extra = " ".join(q(f"{k}={v}") for k, v in plan.env.items())
    invoke = f"{'env ' + extra if extra else ''} {q(BINARY)} {' '.join(q(a) for a in plan.args)}"
    out, err, rc = q(str(work / "stdout")), q(str(work / "stderr")), q(str(work / "rc"))
    redirect = {
        "pipe": f"{invoke} >{out} 2>{err}; echo $? >{rc}",
        "closed": f"{invoke} >&- 2>{err}; echo $? >{rc}",
        "merged": f"{invoke} >{out} 2>&1; echo $? >{rc}",
        "head": f"{invoke} 2>{err} | head -n1 >{out}; echo ${{PIPESTATUS[0]}} >{rc}",
    }[plan.stdout]
    script = f"""
set -e
mount -t tmpfs tmpfs {q(str(work / 'scratch'))}
mkdir {q(str(work / 'scratch/upper'))} {q(str(work / 'scratch/work'))}
mount -t overlay overlay -o lowerdir=/etc,upperdir={q(str(work / 'scratch/upper'))},workdir={q(str(work / 'scratch/work'))} /etc
rm -rf {removals}
cp -a {q(str(stage / 'etc'))}/. /etc/ 2>/dev/null || true
mount -t tmpfs -o mode=0755 tmpfs /opt
cp -a {q(str(stage / 'opt'))}/. /opt/
mount -t tmpfs tmpfs /tmp
mkdir -p /tmp/run
cd {q(str(work / 'cwd'))}
{chr(10).join(env_lines)}
umask {plan.umask}
{plan.setup}
set +e
{redirect}
{plan.after}
cp -a /tmp/. {q(str(work / 'tmp-after'))}/ 2>/dev/null
true
"""
    (work / "script.sh").write_text(script)
    proc = subprocess.run(
        ["unshare", "--mount", "--propagation", "private", "bash", str(work / "script.sh")],
        capture_output=True, timeout=180)
    if not (work / "rc").exists():
        raise AssertionError("namespace script failed: " + proc.stderr.decode(errors="replace"))
    read = lambda p: p.read_text(errors="surrogateescape") if p.exists() else ""
    return Result(
        rc=int((work / "rc").read_text()),
        stdout=read(work / "stdout"),
        stderr=read(work / "stderr"),
        tmp=work / "tmp-after",
        work=work,
        after=proc.stdout.decode(errors="replace"),
    )


def cleanup(result: Result):
    shutil.rmtree(result.work, ignore_errors=True)


class E2ETestCase(unittest.TestCase):
    """Skips without root; removes each run's work directory unless the test failed."""

    def setUp(self):
        reason = requirements_missing()
        if reason:
            self.skipTest(reason)
        self._runs = []

    def run_oskel(self, plan: Run | None = None, **kwargs) -> Result:
        result = run(plan or Run(**kwargs))
        self._runs.append(result)
        return result

    def tearDown(self):
        outcome = getattr(self, "_outcome", None)
        failed = outcome is not None and not outcome.success
        if not failed:
            for result in getattr(self, "_runs", []):
                cleanup(result)
