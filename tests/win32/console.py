"""A terminal for a Windows program under Wine, which then writes to a console.

Opens a pseudo-terminal 1000 columns wide (so that no line wraps), prints the
path of its terminal side, and copies what appears there to the file named by
the first argument until a line arrives on standard input; then it waits for
the rest (at most 5 s, until 0.5 s pass without output) and exits. It keeps
the terminal side open all along, so that a program may open and close it.
"""

import fcntl
import os
import pty
import select
import struct
import sys
import termios
import time

master, slave = pty.openpty()
fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 1000, 0, 0))
print(os.ttyname(slave), flush=True)
with open(sys.argv[1], "wb") as out:
    deadline = None  # set once the line has come
    while True:
        if deadline is None:
            ready, _, _ = select.select([master, sys.stdin], [], [])
        else:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([master], [], [], min(0.5, left))
            if not ready:
                break
        if master in ready:
            out.write(os.read(master, 65536))
        if sys.stdin in ready:
            sys.stdin.readline()
            deadline = time.monotonic() + 5
os.close(slave)
os.close(master)
