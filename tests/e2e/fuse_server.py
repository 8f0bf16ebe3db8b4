"""A FUSE file system whose one file can be looked at but never read, for black-box runs.

`python3 fuse_server.py MOUNTPOINT SECONDS [TYPE [UID]]` mounts (as root, through mount(2)) a
file system of TYPE ("fuse" by default, or "fuse.SUBTYPE") that an account (UID, by default the
service, 1500) serves: `user_id=UID`, `group_id=0`, allow_other, its root and its one file,
`log` (0644, 4096 bytes), that account's; mounted over a file, its root is that one file.
Look-ups, attributes, statfs and open are answered; a READ, or a question about extended
attributes (another account's root says its group may write it), only where root serves (its
file is 4096 "f"s): else whoever asks waits as long as the server lives, whatever signal it gets,
so the server ends itself after SECONDS, leaving /tmp/fuse-server-timed-out (or on SIGTERM). Other requests get ENOSYS. The layouts are those of the
kernel's include/uapi/linux/fuse.h, protocol 7.31, which every Linux 6.x accepts.
"""

import ctypes
import errno
import os
import select
import struct
import sys
import time

LOOKUP, FORGET, GETATTR, OPEN, READ, STATFS, GETXATTR, LISTXATTR, INIT = 1, 2, 3, 14, 15, 17, 22, 23, 26
INTERRUPT, BATCH_FORGET = 36, 42
OWNER, ROOT, FILE = 1500, 1, 2  # node 1 is the kernel's FUSE_ROOT_ID
IN_HEADER, OUT_HEADER = struct.Struct("=IIQQIIIHH"), struct.Struct("=IiQ")


ROOT_IS_FILE = False


def attr(node):  # fuse_attr
    directory = node == ROOT and not ROOT_IS_FILE
    # Another account's root says its group may write it, as a reason to ask for its ACL.
    mode, nlink, size = (0o40775 if OWNER else 0o40755, 2, 0) if directory else (0o100644, 1, 4096)
    now = int(time.time())
    return struct.pack("=QQQQQQIIIIIIIIII", node, size, size // 512, now, now, now, 0, 0, 0, mode,
                       nlink, OWNER, OWNER, 0, 4096, 0)


def answer(opcode, node, body):
    """The reply's error and body; None where nothing is answered (READ, on purpose)."""
    if opcode == READ and OWNER == 0:  # fuse_read_in: fh, offset, size
        _, offset, size = struct.unpack_from("=QQI", body)
        return 0, b"f" * max(0, min(size, 4096 - offset))
    if opcode in (FORGET, BATCH_FORGET, INTERRUPT, READ) or (opcode in (GETXATTR, LISTXATTR)
                                                             and OWNER != 0):
        return None
    if opcode == INIT:  # fuse_init_out: no optional features
        return 0, struct.pack("=IIIIHHIIHHI7I", 7, min(struct.unpack_from("=II", body)[1], 31),
                              0, 0, 1, 1, 4096, 1, 0, 0, 0, *[0] * 7)
    if opcode == LOOKUP and node == ROOT and body.rstrip(b"\0") == b"log":
        return 0, struct.pack("=QQQQII", FILE, 0, 1, 1, 0, 0) + attr(FILE)  # fuse_entry_out
    if opcode == LOOKUP:
        return -errno.ENOENT, b""
    if opcode == GETATTR:
        return 0, struct.pack("=QII", 1, 0, 0) + attr(node)  # fuse_attr_out
    if opcode == STATFS:  # fuse_statfs_out, all zeros, as libfuse answers by default
        return 0, bytes(80)
    if opcode == OPEN:
        return 0, struct.pack("=QII", 0, 0, 0)  # fuse_open_out
    return -errno.ENOSYS, b""


def main(mountpoint, seconds, fstype="fuse", owner=OWNER):
    global ROOT_IS_FILE, OWNER
    ROOT_IS_FILE, OWNER = os.path.isfile(mountpoint), int(owner)
    fd = os.open("/dev/fuse", os.O_RDWR | os.O_CLOEXEC)
    libc = ctypes.CDLL(None, use_errno=True)
    rootmode = "100000" if ROOT_IS_FILE else "40000"
    options = f"fd={fd},rootmode={rootmode},user_id={OWNER},group_id=0,allow_other"
    if libc.mount(b"svcfs", mountpoint.encode(), fstype.encode(), 0x2 | 0x4, options.encode()) != 0:
        sys.exit(f"fuse_server: mount {mountpoint}: {os.strerror(ctypes.get_errno())}")
    deadline = time.monotonic() + seconds
    while (left := deadline - time.monotonic()) > 0:
        if not select.select([fd], [], [], left)[0]:
            continue
        try:
            request = os.read(fd, 1 << 20)
        except OSError:
            break  # unmounted
        _, opcode, unique, node, *_ = IN_HEADER.unpack_from(request)
        reply = answer(opcode, node, request[IN_HEADER.size:])
        if reply is not None:
            error, body = reply
            try:
                os.write(fd, OUT_HEADER.pack(OUT_HEADER.size + len(body), error, unique) + body)
            except OSError:
                pass  # interrupted meanwhile
    if left <= 0:  # someone waited for it all along: say so
        open("/tmp/fuse-server-timed-out", "w").close()
    os.close(fd)  # aborts the connection: whatever still waits on it fails


if __name__ == "__main__":
    main(sys.argv[1], float(sys.argv[2]), *sys.argv[3:5])
