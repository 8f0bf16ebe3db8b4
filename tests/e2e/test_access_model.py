"""A model of who may have chosen, or may change, what the run reads, writes and runs, checked
against the real binary on random hosts.

The model states the access rules on its own, as a few functions over a host's description; it
never calls the tool's code, so the two can disagree. A host is a small random tree under
/tmp/hN: directories, files, links and hard links of root and two other accounts (1001, 1002),
modes with the sticky, setgid, group- and world-writable bits, sometimes a POSIX access ACL; a
configuration naming a log directory in it; a TMPDIR; PATH entries that may hold the package
tool. All hosts are staged one after another in one private namespace and the tool runs once on
each; what it did is compared with what the rules say, for each log entry, TMPDIR and the
package tool.

MODEL_SEED replays a run (the seed is printed), MODEL_HOSTS sets how many hosts (1000 by default,
500 under an emulator).
"""

import collections
import json
import os
import random
import shlex
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import unittest
from dataclasses import dataclass
from pathlib import Path

import harness
from harness import BINARY, DEBIAN_OS_RELEASE, EMULATOR, HERE, VIEW, E2ETestCase

R, W, X = 4, 2, 1
EVERYONE = -1  # a uid no account holds: only the others bits apply to it
ACCOUNTS = (0, 0, 0, 1001, 1002)  # root more often, so that some ways stay root's alone
DIR_MODES = (0o755, 0o700, 0o711, 0o750, 0o555, 0o000, 0o770, 0o775, 0o2775, 0o2770, 0o777,
             0o757, 0o1777, 0o1755, 0o1770, 0o1733)
FILE_MODES = (0o644, 0o600, 0o640, 0o604, 0o000, 0o660, 0o664, 0o666, 0o606)
TOOL_MODES = (0o755, 0o700, 0o705, 0o750, 0o775, 0o777, 0o644)
CONFIG = "/opt/keldra/etc/keldra-oskel.cfg"
LOG = "agent.log"
ARCHIVE = "oskel-data.tar.gz"
RAN = f"{VIEW}/ran"  # where the package tool candidates note that they ran


@dataclass
class Node:
    kind: str  # "d", "f" or "l"
    uid: int
    gid: int = 0
    mode: int = 0o777
    acl: list | None = None  # [[(uid, perm)], [(gid, perm)], group entry, mask]
    target: str = ""
    links: int = 1


def perm(node, party):
    """What `party`, its uid alone with a gid no one holds, may do to `node`. As the kernel
    does, an ACL whose mask is empty is not looked at: the others bits apply."""
    if party == node.uid:
        return node.mode >> 6 & 7
    named = dict(node.acl[0]) if node.acl and node.acl[3] else {}
    return named[party] & node.acl[3] if party in named else node.mode & 7


def writers(node):
    """Who may write `node`: uids, ("group", gid) and EVERYONE."""
    found = {node.uid}
    if node.acl:
        users, groups, group, mask = node.acl
        found |= {uid for uid, p in users if p & mask & W}
        found |= {("group", g) for g, p in [*groups, (node.gid, group)] if p & mask & W}
    elif node.mode & 0o20:
        found.add(("group", node.gid))
    if node.mode & 0o2:
        found.add(EVERYONE)
    return found


class Way:
    """A walk over paths that gathers, as it goes, the parties besides root that the rules count:
    reading, the choosers (each checked as it must be); else every changer (none is trusted)."""

    def __init__(self, host, reading, parties=(), fired=None, held=("/",)):
        self.host, self.reading, self.held = host, reading, list(held)
        self.parties = set(parties) - {0, host.run}
        self.fired = set() if fired is None else fired

    def add(self, rule, parties):
        new = {p for p in parties if p not in (0, self.host.run)} - self.parties
        if new:
            self.fired.add(rule)
            self.parties |= new

    def may(self, node, bits):
        return all(perm(node, p) & bits == bits for p in self.parties)

    def entry(self, where, node):
        """Adds who may have put `node` in the directory `where`."""
        found, sticky = writers(where), where.mode & 0o1000
        if self.reading:
            found &= {where.uid, EVERYONE}
        rule = "2: any other entry of a sticky directory" if sticky else "1: a directory's writers"
        if sticky and node.kind == "d":
            # Moved in only by whoever may write it; renamed only by the sticky one's owner.
            rule = "2: a directory in a sticky one"
            own = writers(node) & ({node.uid, EVERYONE} if self.reading else writers(node))
            if found - own - {0, where.uid} - self.parties:
                self.fired.add(rule)
            found = {where.uid} | own
        self.add(rule, found)

    def walk(self, path):
        """The node `path` leads to from the directory held last (from "/" when absolute): None
        when missing, False when a chooser may not search a directory on the way."""
        names = path.split("/")[::-1]
        if path.startswith("/"):
            self.held = ["/"]
        while names:
            name, where = names.pop(), self.host[self.held[-1]]
            if name and self.reading and not self.may(where, X):
                return False  # "." and ".." are looked up too
            if name == "..":
                self.held = self.held[:-1] or ["/"]
            if name in ("", ".", ".."):
                continue
            node = self.host.get(os.path.join(self.held[-1], name))
            if node is None:
                return None
            self.entry(where, node)
            if node.kind == "l":
                self.add("3: a link's owner", {node.uid})
                self.held = ["/"] if node.target.startswith("/") else self.held
                names.extend(node.target.split("/")[::-1])
            elif node.kind == "d":
                self.held.append(os.path.join(self.held[-1], name))
                self.add("3: a directory's owner", {node.uid})
                if self.reading and not self.may(node, X):
                    return False
            elif names:
                return None
            else:
                if node.links > 1 and writers(where) - {node.uid}:
                    self.add("4: a hard link where others may write", {EVERYONE})
                return node
        return self.host[self.held[-1]]


def logs(host):
    """{log entry: (collected, rules fired)}."""
    config, fired = host[CONFIG], set()
    way = Way(host, True, {config.uid} | ({EVERYONE} if config.mode & 0o2 else set()), fired)
    if way.parties:
        fired.add("5: the configuration's owner or everyone")
    directory = way.walk(os.path.dirname(host.log_file))
    listable = directory and directory.kind == "d" and way.may(directory, R | X)
    fates = {}
    for name in sorted(host):
        if os.path.dirname(name) == host.log_dir and LOG in os.path.basename(name):
            entry = Way(host, True, way.parties, set(fired), way.held)
            node = listable and entry.walk(os.path.basename(name))
            fates[os.path.basename(name)] = (bool(node) and node.kind == "f" and entry.may(node, R),
                                             entry.fired)
    return fates


def tmpdir(host):
    """TMPDIR's fate, written "in place", "renamed" or "refused", and the rules fired."""
    reading = Way(host, True)
    node = reading.walk(host.tmpdir)
    if not node or not reading.may(node, W | X):
        return "refused", reading.fired
    writing = Way(host, False, (), reading.fired)
    writing.add("TMPDIR's own writers", writers(writing.walk(host.tmpdir)))
    return ("renamed" if writing.parties else "in place"), writing.fired


def package_tool(host):
    """The index of the PATH entry whose package tool runs (None: none), and the rules fired."""
    fired = set()
    for index, entry in enumerate(host.path):
        way = Way(host, False, (), fired)
        node = way.walk(entry + "/dpkg-query")
        if node and node.kind == "f":
            way.add("the program's own writers", writers(node))
            if not way.parties and node.mode & 0o111:
                return index, fired
    return None, fired


class Host(dict):
    """The model's view of a generated host: nodes by their paths."""

    def __init__(self, layout):
        super().__init__({"/": Node("d", 0, 0, 0o755), "/tmp": Node("d", 0, 0, 0o755)})
        self.log_file, self.log_dir = layout["log_file"], layout["log_dir"]
        self.tmpdir, self.path, self.run = layout["tmpdir"], layout["path"], layout["as"]
        for kind, path, *rest in layout["ops"]:
            if kind == "l":
                self[path] = Node("l", rest[1], target=rest[0])
            elif kind == "h":
                self[path] = self[rest[0]]
                self[path].links += 1
            else:
                self[path] = Node(kind, *rest[:4])


def generate(rng, n):
    """A random host's description: what to make, in order, and where the run looks."""
    top, ops, dirs, files = f"/tmp/h{n}", [], [], []

    def attrs(modes):
        uid, gid, mode, acl = rng.choice(ACCOUNTS), rng.choice(ACCOUNTS), rng.choice(modes), None
        if rng.random() < 0.2:
            named = rng.choice([u for u in (0, 1001, 1002) if u != uid])
            group = (rng.choice((0, 1001, 1002)), rng.choice((7, 6, 4)))
            acl = [[(named, rng.choice((7, 6, 5, 4, 2)))], [group] if rng.random() < 0.5 else [],
                   rng.choice((7, 5, 4, 0)), rng.choice((7, 6, 5, 4, 3, 2, 0))]
            mode = mode & ~0o70 | acl[3] << 3  # the mask stands in the group bits
        return [uid, gid, mode, acl]

    def make(kind, path, modes, content=None):
        ops.append([kind, path, *attrs(modes), content])
        (dirs if kind == "d" else files).append(path)

    def link(path, target):
        if rng.random() < 0.5:
            target = os.path.relpath(target, os.path.dirname(path))
        ops.append(["l", path, target, rng.choice(ACCOUNTS)])

    def way_to(directory, name):
        """`directory`'s path, sometimes through a new link to it or to a directory above it."""
        above = [d for d in dirs if directory == d or directory.startswith(d + "/")]
        if not above or rng.random() > 0.5:
            return directory
        via, above = f"{rng.choice(dirs)}/{name}", rng.choice(above)
        link(via, above)
        return via + directory[len(above):]

    make("d", top, DIR_MODES)
    for i in range(rng.randint(1, 6)):
        make("d", f"{rng.choice([d for d in dirs if d.count('/') < 5])}/d{i}", DIR_MODES)
    for i in range(rng.randint(1, 4)):
        make("f", f"{rng.choice(dirs)}/f{i}", FILE_MODES)
    for i in range(rng.randint(0, 3)):
        link(f"{rng.choice(dirs)}/l{i}", rng.choice(dirs + files))
    log_dir = rng.choice(dirs)
    for i in range(rng.randint(1, 4)):
        name, kind = f"{log_dir}/{LOG}{'.%d' % i if i else ''}", rng.choice("ffslh")
        if kind == "f":
            make("f", name, FILE_MODES)
        elif kind == "s":
            link(name, rng.choice(files * 3 + dirs))
        else:
            ops.append(["h", name, rng.choice(files)])
    log_file = way_to(log_dir, "via") + "/" + LOG
    ops.append(["f", CONFIG, *attrs(FILE_MODES), json.dumps({"logging": {"log_file": log_file}})])
    if rng.random() < 0.6:
        temporary = way_to(rng.choice(dirs), "tmp")
    else:
        temporary = f"/tmp/o{n}"
        ops.append(["d", temporary, 0, 0, 0o700, None, None])
    path = []
    for k, directory in enumerate(rng.sample(dirs, min(len(dirs), rng.randint(1, 3)))):
        if rng.random() < 0.3:  # a directory of root's alone, beside the tree
            ops.append(["d", f"{top}.{k}", 0, 0, 0o755, None, None])
            directory = f"{top}.{k}"
        path.append(way_to(directory, f"bin{k}"))
        tool = f"#!/bin/sh\necho {k} >> {RAN}\n"
        if rng.random() < 0.3:
            make("f", f"{rng.choice(dirs)}/prog{k}", TOOL_MODES, tool)
            link(f"{directory}/dpkg-query", files[-1])
        elif rng.random() < 0.85:
            make("f", f"{directory}/dpkg-query", TOOL_MODES, tool)
    # Some runs are a plain user's (1001): whose TMPDIR is its own, whose reads are not modelled.
    run = 1001 if rng.random() < 0.1 else 0
    if run:
        temporary = f"/tmp/u{n}"
        ops.append(["d", temporary, run, run, 0o700, None, None])
        ops.append(["f", CONFIG, 0, 0, 0o644, None, '{"logging": {"log_file": "/none/agent.log"}}'])
    return {"ops": ops, "log_file": log_file, "log_dir": log_dir, "tmpdir": temporary, "path": path,
            "as": run}


def describe(layout):
    lines = []
    for kind, path, *rest in layout["ops"]:
        if kind == "l":
            lines.append(f"  {path} -> {rest[0]} (owner {rest[1]})")
        elif kind == "h":
            lines.append(f"  {path}: hard link of {rest[0]}")
        else:
            acl = f" acl {rest[3]}" if rest[3] else ""
            slash = "/" if kind == "d" else ""
            lines.append(f"  {path}{slash} {rest[0]}:{rest[1]} {rest[2]:04o}{acl}")
    return "\n".join(lines + [f"  log_file {layout['log_file']}, TMPDIR {layout['tmpdir']}, "
                              f"PATH {':'.join(layout['path'])}"])


def acl_bytes(mode, acl):
    users, groups, group, mask = acl
    undefined = 2**32 - 1
    entries = [(1, mode >> 6 & 7, undefined), *[(2, p, u) for u, p in users],
               (4, group, undefined), *[(8, p, g) for g, p in groups], (16, mask, undefined),
               (32, mode & 7, undefined)]
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *e) for e in entries)


def stage_and_run(hosts_file, results_file):
    """Inside the namespace: stages each host in turn, runs the tool on it, notes what it did."""
    results, binary = [], [*EMULATOR, f"{VIEW}/exe/{Path(BINARY).name}"]
    setpriv = shutil.which("setpriv") or "setpriv"
    for layout in json.loads(Path(hosts_file).read_text()):
        for stale in (CONFIG, RAN):
            if os.path.lexists(stale):
                os.unlink(stale)
        for kind, path, *rest in layout["ops"]:
            if kind == "l":
                os.symlink(rest[0], path)
                os.chown(path, rest[1], rest[1], follow_symlinks=False)
            elif kind == "h":
                os.link(rest[0], path)
            else:
                uid, gid, mode, acl, content = rest
                if kind == "d":
                    os.mkdir(path)
                else:
                    Path(path).write_text(content or path + "\n")
                os.chown(path, uid, gid)
                os.chmod(path, mode)
                if acl:
                    os.setxattr(path, "system.posix_acl_access", acl_bytes(mode, acl))
        # The run's own link at the archive path, to its own old archive: followed where TMPDIR
        # is the run's alone, else replaced by a new file.
        archive, kept = os.path.join(layout["tmpdir"], ARCHIVE), f"/tmp/k{len(results)}"
        os.mkdir(kept, 0o700)
        os.close(os.open(f"{kept}/old", os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
        os.symlink(f"{kept}/old", archive)
        for made in (kept, f"{kept}/old", archive):
            os.chown(made, layout["as"], layout["as"], follow_symlinks=False)
        user = [setpriv, f"--reuid={layout['as']}", f"--regid={layout['as']}", "--clear-groups"]
        run = subprocess.run(user * bool(layout["as"]) + binary, cwd=f"{VIEW}/cwd",
                             capture_output=True, timeout=60,
                             env={"PATH": ":".join(layout["path"]), "TMPDIR": layout["tmpdir"]})
        names = None
        if run.stdout.decode(errors="replace").endswith(f"found at {archive}\n"):
            with tarfile.open(archive) as tar:
                names = [m.name.removeprefix("oskel-data/") for m in tar.getmembers()]
        results.append({"rc": run.returncode, "stderr": run.stderr.decode(errors="replace"),
                        "same": os.path.islink(archive),
                        "names": names, "ran": Path(RAN).read_text().split()[:1]
                        if os.path.exists(RAN) else []})
    Path(results_file).write_text(json.dumps(results))


def run_hosts(layouts):
    """Stages and runs every host in one private namespace: (its work directory, the results)."""
    Path(harness.WORK_ROOT).mkdir(parents=True, exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix="model.", dir=harness.WORK_ROOT))
    work.chmod(0o755)  # a plain user's run starts the binary from there
    for name in ("exe", "cwd"):
        (work / name).mkdir(mode=0o755)
    shutil.copy2(BINARY, work / "exe" / Path(BINARY).name)
    for name in ("harness.py", "archive_reader.py", Path(__file__).name):
        shutil.copy2(HERE / name, work / "exe" / name)
    (work / "hosts.json").write_text(json.dumps(layouts))
    q = shlex.quote
    body = f"""rm -f /etc/os-release /etc/lsb-release /etc/system-release
printf '%s' {q(DEBIAN_OS_RELEASE)} > /etc/os-release
mkdir -p /opt/keldra/etc
chmod 755 /tmp
E2E_WORK={VIEW} python3 {VIEW}/exe/{Path(__file__).name} --stage {VIEW}/hosts.json \
  {VIEW}/results.json
"""
    proc = harness.run_in_namespace(work, body, timeout=240)
    if not (work / "results.json").exists():
        raise AssertionError("staging failed: " + proc.stderr.decode(errors="replace"))
    return work, json.loads((work / "results.json").read_text())


class AccessModel(E2ETestCase):
    def test_random_hosts_follow_the_rules(self):
        seed = int(os.environ.get("MODEL_SEED") or random.randrange(1 << 32))
        rng = random.Random(seed)
        # Fewer under an emulator, where each run costs some 20 times as much.
        count = int(os.environ.get("MODEL_HOSTS") or (500 if EMULATOR else 1000))
        layouts = [generate(rng, n) for n in range(count)]
        work, results = run_hosts(layouts)
        coverage, faults, hosts = collections.Counter(), [], set()

        def check(n, what, model, seen):
            verdict, fired = model
            coverage.update(fired | {f"{what.split(' ')[0]}: {verdict}"})
            if verdict != seen:
                faults.append(f"host {n}, {what}: the rules say {verdict}, the run {seen}")
                hosts.add(n)

        for n, (layout, result) in enumerate(zip(layouts, results)):
            host = Host(layout)
            refused = result["rc"] == 1 and "Failed to create output directory" in result["stderr"]
            seen = ("refused" if refused else f"failed ({result['stderr'].strip()})"
                    if result["names"] is None else "in place" if result["same"] else "renamed")
            check(n, "TMPDIR", tmpdir(host), seen)
            if result["names"] is None or host.run:  # no archive, or a plain user's run
                continue
            for name, fate in logs(host).items():
                check(n, f"log {name}", fate, name in result["names"])
            check(n, "PATH", package_tool(host), int(result["ran"][0]) if result["ran"] else None)
        summary = "\n".join(f"  {count:5} {rule}" for rule, count in sorted(coverage.items()))
        print(f"\nmodel seed {seed}: cases by rule\n{summary}", file=sys.stderr)
        if faults:
            self.fail(f"seed {seed} (MODEL_SEED replays it): {len(faults)} disagreements, work in "
                      f"{work}\n" + "\n".join(faults[:20]) + "\n" +
                      "\n".join(f"host {n}:\n{describe(layouts[n])}" for n in sorted(hosts)[:5]))
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--stage"]:
        stage_and_run(*sys.argv[2:4])
    else:
        unittest.main()
