"""An X server that is slow to accept: a proxy that lets each client wait
about 2 s for its connection, then forwards it to a display's socket.

    slow_accept.py LISTEN SERVER_SOCKET

LISTEN is a socket path, or tcp:PORT on 127.0.0.1. The listening socket's
backlog is kept full by a connection of the proxy's own, so a client's
connect waits until the proxy accepts (on TCP its SYN goes unanswered and is
sent again); the proxy accepts once a second. Prints "ready" once it
listens. Ends on SIGTERM.
"""

from __future__ import annotations

import os
import socket
import struct
import sys
import threading
import time

DELAY = 1.0


def pump(source: socket.socket, sink: socket.socket) -> None:
    try:
        while True:
            data = source.recv(65536)
            if not data:
                break
            sink.sendall(data)
    except OSError:
        pass
    for end in (source, sink):
        try:
            end.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def main() -> None:
    listen, server_path = sys.argv[1], sys.argv[2]
    if listen.startswith("tcp:"):
        family, address = socket.AF_INET, ("127.0.0.1", int(listen[4:]))
    else:
        family, address = socket.AF_UNIX, listen
    listener = socket.socket(family, socket.SOCK_STREAM)
    listener.bind(address)
    listener.listen(0)
    fillers = {}

    def fill() -> None:
        filler = socket.socket(family, socket.SOCK_STREAM)
        filler.connect(address)
        fillers[filler.getsockname()] = filler

    fill()
    print("ready", flush=True)
    while True:
        time.sleep(DELAY)
        client, peer = listener.accept()
        if family == socket.AF_INET:
            ours = peer in fillers
        else:
            credentials = client.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED,
                                            struct.calcsize("3i"))
            ours = struct.unpack("3i", credentials)[0] == os.getpid()
        if ours:
            client.close()
            continue
        server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        server.connect(server_path)
        for source, sink in ((client, server), (server, client)):
            threading.Thread(target=pump, args=(source, sink), daemon=True).start()
        # The next client waits again.
        fill()


if __name__ == "__main__":
    main()
