"""Runs a command with standard error on a pseudo-terminal and standard output on a file.

usage: python3 pty_run.py STDOUT_FILE STDERR_FILE COMMAND...
Writes what the command wrote to the terminal into STDERR_FILE and exits with its status.
"""

import os
import subprocess
import sys

out_path, err_path, command = sys.argv[1], sys.argv[2], sys.argv[3:]
master, slave = os.openpty()
with open(out_path, "wb") as out:
    child = subprocess.Popen(command, stdout=out, stderr=slave, stdin=subprocess.DEVNULL)
os.close(slave)
captured = b""
while True:
    try:
        data = os.read(master, 65536)
    except OSError:  # EIO: the terminal's other side is closed
        break
    if not data:
        break
    captured += data
with open(err_path, "wb") as err:
    err.write(captured)
sys.exit(child.wait())
