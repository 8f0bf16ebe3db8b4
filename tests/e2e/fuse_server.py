"""A FUSE file system whose one file can be looked at but never read, for black-box runs.

`python3 fuse_server.py MOUNTPOINT SECONDS` mounts (as root, through mount(2)) a file system
that the service account (uid 1500) owns: `user_id=1500` and every file 1500:1500, with
allow_other. Its root directory holds one regular file, `log` (0644, 4096 bytes). Look-ups,
attributes, open, statfs and the like are answered at once; a READ is never answered, so whoever
reads the file waits for as long as the server lives. Requests it does not know get ENOSYS.

A request that has reached the server cannot be ended by any signal to the process waiting on
it, SIGKILL included: only the end of the server aborts the connection and fails the wait. So
the server ends itself after SECONDS (or on SIGTERM), which bounds any run that reads the file.
Python's standard library only, the layouts of the kernel's include/uapi/linux/fuse.h.
"""

import ctypes
import errno
import os
import select
import struct
import sys
import time

# The opcodes answered or left unanswered; any other gets ENOSYS.
LOOKUP, FORGET, GETATTR, OPEN, READ, STATFS, RELEASE, GETXATTR = 1, 2, 3, 14, 15, 17, 18, 22
FLUSH, INIT, OPENDIR, READDIR, RELEASEDIR, ACCESS = 25, 26, 27, 28, 29, 34
INTERRUPT, BATCH_FORGET = 36, 42
OWNER = 1500
# The kernel speaks the older side's protocol minor: 7.31's layouts, older than any Linux 6.x.
MINOR = 31
ROOT, FILE = 1, 2  # node ids; 1 is the kernel's FUSE_ROOT_ID
IN_HEADER = struct.Struct("=IIQQIIIHH")  # fuse_in_header: len, opcode, unique, nodeid, ...
OUT_HEADER = struct.Struct("=IiQ")  # fuse_out_header: len, error, unique
ATTR = struct.Struct("=QQQQQQIIIIIIIIII")  # fuse_attr


def attr(node):
    mode, nlink, size = (0o40755, 2, 0) if node == ROOT else (0o100644, 1, 4096)
    now = int(time.time())
    return ATTR.pack(node, size, size // 512, now, now, now, 0, 0, 0, mode, nlink, OWNER, OWNER,
                     0, 4096, 0)


def answer(opcode, node, body):
    """The reply's error and body for one request; None when nothing is to be answered."""
    if opcode in (FORGET, BATCH_FORGET, INTERRUPT, READ):
        # FORGET has no reply and an unanswered INTERRUPT is allowed; READ is the one the
        # reader waits on for good.
        return None
    if opcode == INIT:
        kernel_major, kernel_minor = struct.unpack_from("=II", body)
        if kernel_major != 7:
            return -errno.EPROTO, b""
        # fuse_init_out: no optional features, no readahead, 4 KiB writes at most.
        return 0, struct.pack("=IIIIHHIIHHI7I", 7, min(kernel_minor, MINOR), 0, 0, 1, 1, 4096, 1,
                              0, 0, 0, *[0] * 7)
    if opcode == LOOKUP:
        if node == ROOT and body.rstrip(b"\0") == b"log":
            return 0, struct.pack("=QQQQII", FILE, 0, 1, 1, 0, 0) + attr(FILE)  # fuse_entry_out
        return -errno.ENOENT, b""
    if opcode == GETATTR:
        return 0, struct.pack("=QII", 1, 0, 0) + attr(node)  # fuse_attr_out
    if opcode in (OPEN, OPENDIR):
        return 0, struct.pack("=QII", 0, 0, 0)  # fuse_open_out: no handle, page cache used
    if opcode == READDIR:  # fuse_read_in's offset: 0 for the first call; one fuse_dirent
        first = struct.unpack_from("=QQ", body)[1] == 0
        return 0, struct.pack("=QQII", FILE, 1, 3, 8) + b"log\0\0\0\0\0" if first else b""
    if opcode == STATFS:
        return 0, struct.pack("=QQQQQIIII6I", 1024, 1000, 1000, 16, 14, 4096, 255, 4096, 0,
                              *[0] * 6)
    if opcode in (FLUSH, RELEASE, RELEASEDIR, ACCESS):
        return 0, b""
    if opcode == GETXATTR:
        return -errno.ENODATA, b""
    return -errno.ENOSYS, b""


def main(mountpoint, seconds):
    fd = os.open("/dev/fuse", os.O_RDWR | os.O_CLOEXEC)
    libc = ctypes.CDLL(None, use_errno=True)
    options = f"fd={fd},rootmode=40000,user_id={OWNER},group_id={OWNER},allow_other"
    if libc.mount(b"svcfs", mountpoint.encode(), b"fuse", 0x2 | 0x4, options.encode()) != 0:
        sys.exit(f"fuse_server: mount {mountpoint}: {os.strerror(ctypes.get_errno())}")
    deadline = time.monotonic() + seconds
    while (left := deadline - time.monotonic()) > 0:
        if not select.select([fd], [], [], left)[0]:
            continue
        try:
            request = os.read(fd, 1 << 20)  # at least a header and max_write bytes
        except OSError:
            break  # ENODEV: unmounted
        _, opcode, unique, node, *_ = IN_HEADER.unpack_from(request)
        reply = answer(opcode, node, request[IN_HEADER.size:])
        if reply is not None:
            error, body = reply
            try:
                os.write(fd, OUT_HEADER.pack(OUT_HEADER.size + len(body), error, unique) + body)
            except OSError:
                pass  # the request was interrupted meanwhile
    os.close(fd)  # aborts the connection: whatever still waits on it fails


if __name__ == "__main__":
    main(sys.argv[1], float(sys.argv[2]))
