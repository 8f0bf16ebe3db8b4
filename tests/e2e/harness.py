"""Runs the real oskel_info binary inside a private mount namespace.

Inside `unshare --mount` the run sees an overlay on /etc (so a case can stage, replace or
delete os-release, lsb-release and system-release), a tmpfs on /opt with /opt/keldra/etc
staged or absent, a tmpfs on /tmp, a private TMPDIR and fake package tools first on PATH.
The host is never changed: every mount disappears with the namespace. What the run leaves in
its temporary directory is copied out before the namespace ends.

The run's work directory (the staged files, a copy of the binary, the captured output) may
itself lie under /tmp or /opt, which the namespace covers. It is opened before those mounts and
bound, through that descriptor, at /opt/.e2e, so the run reaches it wherever it is. The
overlays' upper layers live in the tmpfs on /opt.
"""

import atexit
import functools
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import unittest
from dataclasses import dataclass, field
from pathlib import Path

from archive_reader import read_archive

HERE = Path(__file__).resolve().parent
BINARY = os.environ.get("OSKEL_BINARY") or str(HERE.parent.parent / "build/oskel_info")
# A sanitizer build reserves terabytes of address space: no address-space cap fits it.
SANITIZED = os.environ.get("OSKEL_SANITIZED") == "1"
# The command a binary of another architecture runs under (a cross build's tests set it, e.g.
# /usr/bin/qemu-aarch64-static): always named, never left to binfmt_misc. It runs inside the
# namespace too, so it must be a static program outside /tmp and /opt.
EMULATOR = shlex.split(os.environ.get("OSKEL_EMULATOR", ""))
# Where each run's work directory goes. Without E2E_WORK (a suite run by hand) it is a private
# directory that is removed when the suite ends, failed runs included.
WORK_ROOT = os.environ.get("E2E_WORK")
if not WORK_ROOT:
    WORK_ROOT = tempfile.mkdtemp(prefix="oskel-e2e.")
    atexit.register(shutil.rmtree, WORK_ROOT, ignore_errors=True)
VIEW = "/opt/.e2e"  # the work directory as the namespace sees it

DEBIAN_OS_RELEASE = 'PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"\nNAME="Debian GNU/Linux"\nVERSION_ID="12"\nID=debian\n'
UBUNTU_OS_RELEASE = 'PRETTY_NAME="Ubuntu 22.04.4 LTS"\nNAME="Ubuntu"\nVERSION_ID="22.04"\nID=ubuntu\n'
ROCKY_OS_RELEASE = 'NAME="Rocky Linux"\nVERSION_ID="9.3"\nID="rocky"\n'

# What the fake package tools may use besides the shell's built-ins.
UTILITIES = ("sh", "cat", "head", "tr", "sleep", "seq", "ls", "wc", "env", "mkdir", "mount", "stat",
             "yes", "mv", "ln")

# A package tool that answers at once with nothing: keeps runs independent of the host.
QUIET_TOOL = "#!/bin/sh\nexit 0\n"

ENOENT = "No such file or directory (os error 2)"
NOT_REGULAR = "the source path is neither a regular file nor a symlink to a regular file"
CONFIG = '{"logging": {"log_file": "/tmp/logs/agent.log", "level": "debug"}}'
# What `dpkg-query --list` prints on a host with the package and a few others.
LISTING = (
    "Desired=Unknown/Install/Remove/Purge/Hold\n"
    "| Status=Not/Inst/Conf-files/Unpacked/halF-conf/Half-inst/trig-aWait/Trig-pend\n"
    "|/ Err?=(none)/Reinst-required (Status,Err: uppercase=bad)\n"
    "||/ Name                Version      Architecture Description\n"
    "+++-===================-============-============-=================================\n"
    "ii  adduser             3.134        all          add and remove users and groups\n"
    "ii  keldra-oskel        4.2.1-1      amd64        Keldra SDK oskel component\n"
    "ii  keldra-oskel-tools  4.2.1-1      amd64        Keldra SDK oskel tools\r\n"
    "ii  zlib1g:amd64        1:1.2.13     amd64        compression library - runtime\n"
    "rc  keldra-oskel-legacy 3.0.0        amd64        old oskel")


def tool(body):
    """A fake package tool running the shell text `body`."""
    return "#!/bin/sh\n" + body + "\n"


def archive_line(path="/tmp/run/oskel-data.tar.gz"):
    """The last line of a run that made its archive at `path`."""
    return f"Logs and config can be found at {path}\n"


ARCHIVE_LINE = archive_line()


def inside(members):
    """Archive members by their names inside oskel-data/, the top directory left out."""
    return {k.removeprefix("oskel-data/"): v for k, v in members.items() if k != "oskel-data"}


def _root_is_a_mount_point():
    """False in a chroot whose root directory is not itself a mount point."""
    try:
        with open("/proc/self/mountinfo") as mounts:
            return any(line.split()[4] == "/" for line in mounts)
    except OSError:
        return True  # no /proc to tell: do not blame the root


@functools.cache
def namespace_unavailable():
    """Why a private mount namespace with overlay and tmpfs mounts cannot be made, or None."""
    if os.geteuid() != 0:
        return ("black-box runs need root: they mount an overlay on /etc and tmpfs on /opt and "
                "/tmp in a private mount namespace; run the suite as root (sudo)")
    probe = tempfile.mkdtemp(prefix="oskel-e2e-probe.")
    try:
        proc = subprocess.run(
            ["unshare", "--mount", "--propagation", "private", "mount", "-t", "tmpfs", "tmpfs", probe],
            capture_output=True, timeout=60)
    except FileNotFoundError:
        return "unshare(1) is missing: install util-linux"
    finally:
        os.rmdir(probe)
    if proc.returncode == 0:
        return None
    error = proc.stderr.decode(errors="replace").strip()
    if not _root_is_a_mount_point():
        hint = ("/ is not a mount point, as in a chroot: bind-mount the chroot's root onto itself "
                "(mount --bind DIR DIR) before entering it, or run outside the chroot")
    else:
        hint = ("the process lacks CAP_SYS_ADMIN, as in an unprivileged container: run the "
                "container with --privileged (or --cap-add SYS_ADMIN and no seccomp/AppArmor "
                "block on mount), or run the suite on the host")
    return f"cannot make a private mount namespace ({error}); {hint}"


def requirements_missing():
    reason = namespace_unavailable()
    if reason:
        return reason
    if not os.access(BINARY, os.X_OK):
        return f"no built binary at {BINARY}: build it, or set OSKEL_BINARY to it"
    if EMULATOR and not os.access(EMULATOR[0], os.X_OK):
        return f"no emulator at {EMULATOR[0]} (OSKEL_EMULATOR): scripts/setup.sh aarch64 installs it"
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
    stdout: str = "pipe"  # pipe | closed | head | merged | tty (stderr on a terminal)
    umask: str = "022"
    env: dict = field(default_factory=dict)
    wrapper: str = ""  # a command the binary runs under, e.g. "prlimit --as=N"
    # A point where the run stops itself (OSKEL_TEST_SEAM, stdout "pipe" only) while the shell
    # text `at_seam` acts, as another account could between a look-up and an open.
    seam: str = ""
    at_seam: str = ""


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
    for name in ("tmp-after", "cwd", "exe", "utils"):
        (work / name).mkdir()
    # The package tool runs only from where root alone may change it, whatever the umask.
    for directory in (stage, stage / "bin", work / "utils"):
        directory.chmod(0o755)
    # The binary's PATH: the fake package tools, then the few utilities they use, and nothing
    # of the host's own (a real rpm or dpkg-query there must never be reached).
    for util in UTILITIES:
        found = shutil.which(util, path="/usr/bin:/bin")
        if found:
            (work / "utils" / util).symlink_to(found)
    # The binary keeps its file name (the usage line shows it) but lives in the work directory.
    shutil.copy2(BINARY, work / "exe" / Path(BINARY).name)
    for helper in ("pty_run.py", "fuse_server.py", "file_digest.py"):
        shutil.copy2(HERE / helper, work / "exe" / helper)

    q = shlex.quote
    view = Path(VIEW)
    env_lines = []
    if plan.tmpdir is None:
        env_lines.append("unset TMPDIR")
    else:
        raw = plan.tmpdir if isinstance(plan.tmpdir, bytes) else plan.tmpdir.encode()
        env_lines.append("export TMPDIR=\"$(printf '" + "".join(f"\\{b:03o}" for b in raw) + "')\"")

    removals = " ".join(q("/etc/" + name) for name in (*plan.etc_remove, *plan.etc))
    # Extra variables reach the binary alone, not the staging commands around it.
    env = {**plan.env, **({"OSKEL_TEST_SEAM": plan.seam} if plan.seam else {})}
    extra = " ".join(q(f"{k}={v}") for k, v in env.items())
    binary = q(str(view / "exe" / Path(BINARY).name))
    tool_path = q(f"PATH={VIEW}/stage/bin:{VIEW}/utils")
    emulator = " ".join(q(word) for word in EMULATOR)
    invoke = (f"{plan.wrapper} env {tool_path} {extra} {emulator} {binary} "
              f"{' '.join(q(a) for a in plan.args)}")
    out, err, rc = q(f"{VIEW}/stdout"), q(f"{VIEW}/stderr"), q(f"{VIEW}/rc")
    redirect = {
        "pipe": f"{invoke} >{out} 2>{err}; echo $? >{rc}",
        "closed": f"{invoke} >&- 2>{err}; echo $? >{rc}",
        "merged": f"{invoke} >{out} 2>&1; echo $? >{rc}",
        "head": f"{invoke} 2>{err} | head -n1 >{out}; echo ${{PIPESTATUS[0]}} >{rc}",
        "tty": f"python3 {VIEW}/exe/pty_run.py {out} {err} {invoke}; echo $? >{rc}",
    }[plan.stdout]
    if plan.seam:
        # At most 60 s for the run to reach its seam; the case fails when it never does.
        redirect = f"""{invoke} >{out} 2>{err} & pid=$!
for i in $(seq 6000); do
  grep -qs '^State:[[:space:]]*T' /proc/$pid/status && break; sleep 0.01
done
if grep -qs '^State:[[:space:]]*T' /proc/$pid/status; then
  (set -e; {plan.at_seam}) || echo "at_seam failed" >{q(f"{VIEW}/seam")}
else
  echo "seam {plan.seam} not reached" >{q(f"{VIEW}/seam")}
fi
kill -CONT $pid; wait $pid; echo $? >{rc}"""
    body = f"""
# Remove before staging: cp onto /etc/os-release, a link into /usr, would write the host.
rm -rf {removals}
cp -a {VIEW}/stage/etc/. /etc/ 2>/dev/null || true
cp -a {VIEW}/stage/opt/. /opt/
mkdir -p /tmp/run
cd {VIEW}/cwd
{chr(10).join(env_lines)}
umask {plan.umask}
{plan.setup}
set +e
{redirect}
{plan.after}
cp -a /tmp/. {VIEW}/tmp-after/ 2>/dev/null
true
"""
    proc = run_in_namespace(work, body, overlays=("/etc",), timeout=180)
    if not (work / "rc").exists():
        raise AssertionError("namespace script failed: " + proc.stderr.decode(errors="replace"))
    if (work / "seam").exists():
        raise AssertionError((work / "seam").read_text() + proc.stderr.decode(errors="replace"))
    # Bytes as written: no newline translation, so a "\r" stays a "\r".
    read = lambda p: p.read_bytes().decode(errors="surrogateescape") if p.exists() else ""
    return Result(
        rc=int((work / "rc").read_text()),
        stdout=read(work / "stdout"),
        stderr=read(work / "stderr"),
        tmp=work / "tmp-after",
        work=work,
        after=proc.stdout.decode(errors="replace"),
    )


def run_in_namespace(work: Path, body: str, overlays=("/etc",), timeout=180):
    """Runs the shell text `body` with bash in a private mount namespace: a tmpfs on /opt, an
    overlay on each of `overlays` (its upper layer in /opt/.scratch), `work` bound at VIEW, a
    tmpfs on /tmp. Every mount disappears with the namespace."""
    q = shlex.quote
    mounts = []
    for index, target in enumerate(overlays):
        upper, scratch = f"/opt/.scratch/upper{index}", f"/opt/.scratch/work{index}"
        mounts.append(f"mkdir -p {upper} {scratch}\nmount -t overlay overlay "
                      f"-o lowerdir={target},upperdir={upper},workdir={scratch} {target}")
    script = f"""
set -e
exec 9<{q(str(work))}
mount -t tmpfs -o mode=0755 tmpfs /opt
{chr(10).join(mounts)}
mkdir {VIEW}
mount --no-canonicalize --bind /proc/self/fd/9 {VIEW}
exec 9<&-
mount -t tmpfs tmpfs /tmp
{body}
"""
    (work / "script.sh").write_text(script)
    return subprocess.run(["unshare", "--mount", "--propagation", "private", "bash",
                           str(work / "script.sh")], capture_output=True, timeout=timeout)


def cleanup(result: Result):
    shutil.rmtree(result.work, ignore_errors=True)


class E2ETestCase(unittest.TestCase):
    """Skips (fails under CI=true) when no private namespace can be made; removes each run's work directory unless the test failed."""

    def setUp(self):
        reason = requirements_missing()
        if reason:
            print(f"E2E SKIPPED: {reason}", file=sys.stderr)
            self.skip_outside_ci(reason)
        self._runs = []

    def skip_outside_ci(self, reason):
        """Skips for `reason`, or fails under CI=true: CI must never pass without the check."""
        if os.environ.get("CI") == "true":
            self.fail("cannot be skipped under CI=true: " + reason)
        self.skipTest(reason)

    def run_oskel(self, plan: Run | None = None, **kwargs) -> Result:
        result = run(plan or Run(**kwargs))
        self._runs.append(result)
        return result

    def archived(self, result: Result, archive="run/oskel-data.tar.gz"):
        """The members of the run's archive (read back by every reader) inside oskel-data/."""
        members, _ = read_archive(self, result.tmp / archive)
        return inside(members)

    def tearDown(self):
        outcome = getattr(self, "_outcome", None)
        failed = outcome is not None and not outcome.success
        if not failed:
            for result in getattr(self, "_runs", []):
                cleanup(result)
