"""Reads a run's archive back with GNU tar, bsdtar and python's tarfile: names, modes and
contents must agree."""

import gzip
import stat
import subprocess
import tarfile


def members_by_tarfile(path):
    with tarfile.open(path, "r:gz") as archive:
        out = {}
        for m in archive.getmembers():
            data = archive.extractfile(m).read() if m.isfile() else None
            out[m.name] = (m.type, m.mode, data)
        return out, [m.name for m in archive.getmembers()]


def names_by(tool, path):
    listing = subprocess.run([tool, "-tzf", str(path)], capture_output=True, check=True).stdout
    return [line.rstrip("/") for line in listing.decode().splitlines()]


def modes_by(tool, path):
    """The permission strings (drwx------, -rw-r--r--) of the verbose listing, in order."""
    listing = subprocess.run([tool, "-tvzf", str(path)], capture_output=True, check=True).stdout
    return [line.split()[0] for line in listing.decode().splitlines()]


def read_archive(testcase, path):
    """Returns {name: (type, mode, data)} and the member order; asserts every reader agrees."""
    subprocess.run(["gzip", "-t", str(path)], check=True)
    members, order = members_by_tarfile(path)
    testcase.assertEqual(names_by("tar", path), [n.rstrip("/") for n in order])
    testcase.assertEqual(names_by("bsdtar", path), [n.rstrip("/") for n in order])
    modes = [stat.filemode(members[name][1]) for name in order]
    testcase.assertEqual(modes_by("tar", path), modes)
    testcase.assertEqual(modes_by("bsdtar", path), modes)
    for name, (kind, _mode, data) in members.items():
        if kind in (tarfile.REGTYPE, tarfile.GNUTYPE_SPARSE):
            for tool in ("tar", "bsdtar"):
                extracted = subprocess.run([tool, "-xzOf", str(path), name], capture_output=True,
                                           check=True).stdout
                testcase.assertEqual(extracted, data, f"{tool} {name}")
    return members, order


def raw_tar(path):
    with gzip.open(path, "rb") as f:
        return f.read()
