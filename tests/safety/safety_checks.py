"""Checks that nothing crashes the host, hangs or fails for no reason, each
run on its own by scripts/test-stage-57-safety.sh against the servers that
stage starts:

    safety_checks.py CHECK

CHECK is one of the names in CHECKS below. The library comes from
VANTOREL_SCREENSHOT_LIBRARY, the program from VS_CLI; the X servers from
DISPLAY (a working one) and, where a check needs them, VS_HUNG_DISPLAY (a
listener that accepts and never answers), VS_COOKIE_DISPLAY with
VS_COOKIE_AUTH (a server that wants a cookie, and a file holding the wrong
one). Prints what it saw; exits 1 when a check fails. Runs under Debian's
Python (numpy).
"""

from __future__ import annotations

import copy
import gc
import multiprocessing
import os
import pickle
import select
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
from typing import Callable, Dict, List, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "python"))

import numpy as np  # noqa: E402

import vantorel_screenshot as vs  # noqa: E402

CLI = os.environ.get("VS_CLI", "")
PAINT = 0x00FF8040  # the colour of the window painted on the screen: R ff, G 80, B 40
F_SETPIPE_SZ = 1031

failures: List[str] = []


def expect(condition: bool, what: str) -> None:
    print(("ok: " if condition else "FAILED: ") + what, flush=True)
    if not condition:
        failures.append(what)


# ---------------------------------------------------------------------------
# A small X client of our own, in the core protocol: windows to capture.


class XClient:
    def __init__(self, display: str) -> None:
        number = display.split(":", 1)[1].split(".", 1)[0]
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(f"/tmp/.X11-unix/X{number}")
        self.sock.sendall(struct.pack("<BxHHHHxx", ord("l"), 11, 0, 0, 0))
        head = self._read(8)
        if head[0] != 1:
            raise OSError("the X server refused the connection")
        body = self._read(struct.unpack_from("<H", head, 6)[0] * 4)
        self.id_base, self.id_mask = struct.unpack_from("<II", body, 4)
        vendor_length, = struct.unpack_from("<H", body, 16)
        formats = body[21]
        screens_at = 32 + (vendor_length + 3) // 4 * 4 + 8 * formats
        self.root, = struct.unpack_from("<I", body, screens_at)
        self.next_id = 1

    def _read(self, count: int) -> bytes:
        data = b""
        while len(data) < count:
            chunk = self.sock.recv(count - len(data))
            if not chunk:
                raise OSError("the X server closed the connection")
            data += chunk
        return data

    def window(self, x: int, y: int, width: int, height: int, colour: int, mapped: bool,
               parent: int = 0) -> int:
        wid = self.id_base | (self.next_id & self.id_mask)
        self.next_id += 1
        # CreateWindow with a background pixel (CWBackPixel) and
        # override-redirect (no window manager moves it).
        self.sock.sendall(struct.pack("<BBHIIhhHHHHIIII", 1, 0, 10, wid, parent or self.root, x, y,
                                      width, height, 0, 1, 0, 0x202, colour, 1))
        if mapped:
            self.map(wid)
        return wid

    def map(self, wid: int) -> None:
        self.sock.sendall(struct.pack("<BxHI", 8, 2, wid))

    def unmap(self, wid: int) -> None:
        self.sock.sendall(struct.pack("<BxHI", 10, 2, wid))

    def sync(self) -> None:
        # GetInputFocus: its reply comes after everything sent before it.
        self.sock.sendall(struct.pack("<BxH", 43, 1))
        while True:
            reply = self._read(32)
            if reply[0] == 1:
                return
            if reply[0] == 0:
                raise OSError(f"X error {reply[1]}")


def paint_screen() -> XClient:
    client = XClient(os.environ["DISPLAY"])
    client.window(0, 0, 200, 100, PAINT, True)
    client.sync()
    time.sleep(0.2)
    return client


# ---------------------------------------------------------------------------
# Pictures


def grab_in_worker(rect: Tuple[int, int, int, int]) -> "vs.Picture":
    return vs.grab(rect)


def painted(picture: "vs.Picture") -> bool:
    pixels = np.asarray(picture)
    return bool((pixels[:, :, :3] == [0xFF, 0x80, 0x40]).all())


def check_pictures() -> None:
    client = paint_screen()
    rect = (10, 10, 60, 40)
    makers: List[Tuple[str, Callable[["vs.Picture"], "vs.Picture"]]] = [
        ("copy.copy", copy.copy),
        ("copy.deepcopy", copy.deepcopy),
        ("pickle", lambda shot: pickle.loads(pickle.dumps(shot))),
    ]
    for what, make in makers:
        shot = vs.grab(rect)
        other = make(shot)
        del shot
        gc.collect()
        for _ in range(5):
            vs.grab()
        expect(other.size == (60, 40) and painted(other) and len(other.rgba) == 60 * 40 * 4,
               f"{what}: the copy keeps its pixels once the original is gone")
    for method in ("spawn", "fork", "forkserver"):
        with multiprocessing.get_context(method).Pool(2) as pool:
            returned = pool.map(grab_in_worker, [rect, rect])
        expect(all(isinstance(p, vs.Picture) and p.size == (60, 40) and painted(p) for p in returned),
               f"multiprocessing ({method}): pictures come back from the workers with their pixels")
    shot = vs.grab(rect)
    refused = 0
    for name in ("left", "top", "width", "height", "size"):
        try:
            setattr(shot, name, 64 * 40)
        except AttributeError:
            refused += 1
    expect(refused == 5 and shot.height == 40 and np.asarray(shot).shape == (40, 60, 4),
           "left, top, width, height and size are read-only")
    client.sock.close()


# ---------------------------------------------------------------------------
# A hung connect, then DISPLAY moves to a working server (one host process)


def timed(call: Callable[[], object]) -> Tuple[float, object]:
    start = time.monotonic()
    try:
        result: object = call()
    except vs.ScreenshotError as error:
        result = error
    return time.monotonic() - start, result


def check_display_switch() -> None:
    working = os.environ["DISPLAY"]
    os.environ["DISPLAY"] = os.environ["VS_HUNG_DISPLAY"]
    seconds, result = timed(vs.grab)
    expect(isinstance(result, vs.ScreenshotError) and result.code == 102 and seconds < 8,
           f"a server that accepts and never answers: 102 after {seconds:.1f} s ({result})")
    os.environ["DISPLAY"] = working
    seconds, result = timed(lambda: vs.grab((0, 0, 20, 20)))
    expect(isinstance(result, vs.Picture) and seconds < 2,
           f"DISPLAY moved to a working server: served at once ({seconds:.2f} s, {result})")
    seconds, result = timed(lambda: vs.grab((0, 0, 20, 20)))
    expect(isinstance(result, vs.Picture) and seconds < 1, "and again")


def check_cookie_detail() -> None:
    os.environ["DISPLAY"] = os.environ["VS_COOKIE_DISPLAY"]
    os.environ["XAUTHORITY"] = os.environ["VS_COOKIE_AUTH"]
    _, result = timed(vs.grab)
    expect(isinstance(result, vs.ScreenshotError) and result.code == 104
           and result.detail == "Invalid MIT-MAGIC-COOKIE-1 key"
           and str(result).endswith(": Invalid MIT-MAGIC-COOKIE-1 key")
           and "\0" not in result.message,
           f"a refused connection: the server's words in the error ({result!r}, {getattr(result, 'detail', '')!r})")


# ---------------------------------------------------------------------------
# Files that are not files (through the program: a C host of the library)


def cli(*args: str, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run([CLI, *args], capture_output=True, timeout=30, **kwargs)


def reader(fifo: str, take: int) -> Tuple[socket.socket, int]:
    """Opens the FIFO for reading with a one-page pipe (so that a picture
    fills it), then in a child reads take bytes (all when 0) and quits.
    Returns the end that says how many bytes it read, and the child's pid."""
    ours, theirs = socket.socketpair()
    fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    import fcntl
    fcntl.fcntl(fd, F_SETPIPE_SZ, 4096)
    pid = os.fork()
    if pid == 0:
        ours.close()
        select.select([fd], [], [], 20)
        os.set_blocking(fd, True)
        got = 0
        while True:
            chunk = os.read(fd, take - got if take else 65536)
            got += len(chunk)
            if not chunk or (take and got >= take):
                break
        os.close(fd)
        theirs.sendall(str(got).encode())
        os._exit(0)
    os.close(fd)
    theirs.close()
    return ours, pid


def check_fifo() -> None:
    paint_screen()
    work = tempfile.mkdtemp(prefix="vs-safety-fifo-")
    fifo = os.path.join(work, "picture.png")
    os.mkfifo(fifo)
    os.mkfifo(os.path.join(work, "picture.ppm"))
    start = time.monotonic()
    done = cli("all", fifo)
    seconds = time.monotonic() - start
    expect(done.returncode == 1 and b"(No such device or address)" in done.stderr and seconds < 5,
           f"a FIFO nobody reads: fails at once ({seconds:.2f} s, {done.stderr!r})")
    # Uncompressed PNG and PPM: more than the reader's pipe holds.
    for args, what in ((["-l", "0", "all"], "a PNG"), (["-t", "ppm", "all"], "a PPM")):
        fifo = os.path.join(work, "picture." + ("ppm" if "ppm" in args else "png"))
        channel, pid = reader(fifo, 8)
        done = cli(*args, fifo)
        os.waitpid(pid, 0)
        expect(done.returncode == 1 and b"(Broken pipe)" in done.stderr,
               f"{what} into a FIFO whose reader quits: exit 1, not SIGPIPE "
               f"(exit {done.returncode}, {done.stderr!r})")
        channel, pid = reader(fifo, 0)
        done = cli(*args, fifo)
        got = int(channel.recv(32) or b"0")
        os.waitpid(pid, 0)
        expect(done.returncode == 0 and got > 4096,
               f"{what} into a FIFO whose reader stays: {got} bytes (exit {done.returncode})")
    for name in ("picture.png", "picture.ppm"):
        os.unlink(os.path.join(work, name))
    os.rmdir(work)


def check_dev_full() -> None:
    for args in (["monitors"], ["version"], ["--help"], ["-g", "0,0 10x10", "-"]):
        with open("/dev/full", "wb") as full:
            done = subprocess.run([CLI, *args], stdout=full, stderr=subprocess.PIPE, timeout=30)
        expect(done.returncode == 1 and b"No space left on device" in done.stderr,
               f"{' '.join(args)} > /dev/full: exit {done.returncode}")
    for args in (["all", "/dev/full"], ["-t", "ppm", "all", "/dev/full"]):
        done = cli(*args)
        expect(done.returncode == 1 and b"(No space left on device)" in done.stderr,
               f"{' '.join(args)}: exit {done.returncode}")


# ---------------------------------------------------------------------------
# An unmapped window


def check_unmapped_window() -> None:
    client = XClient(os.environ["DISPLAY"])
    never = client.window(300, 200, 80, 60, 0x0000FF, False)
    withdrawn = client.window(300, 200, 80, 60, 0x00FF00, True)
    parent = client.window(400, 200, 80, 60, 0xFF0000, False)
    inside = client.window(5, 5, 20, 20, 0x00FFFF, True, parent)
    client.sync()
    client.unmap(withdrawn)
    client.sync()
    work = tempfile.mkdtemp(prefix="vs-safety-window-")
    for wid, what in ((never, "never mapped"), (withdrawn, "unmapped (withdrawn, minimized)"),
                      (inside, "inside an unmapped window")):
        out = os.path.join(work, "w.png")
        done = cli("window", hex(wid), out)
        message = done.stderr.decode()
        expect(done.returncode == 1 and "the window is not shown" in message
               and "GetWindowRect failed" in message and "105" in message
               and not os.path.exists(out),
               f"a window {what}: exit {done.returncode}, {done.stderr.decode().strip()}")
    client.map(withdrawn)
    client.sync()
    time.sleep(0.2)
    out = os.path.join(work, "w.ppm")
    done = cli("window", hex(withdrawn), out)
    shown = False
    if done.returncode == 0:
        with open(out, "rb") as file:
            data = file.read()
        shown = data.startswith(b"P6\n80 60\n255\n") and data[-3:] == b"\x00\xff\x00"
        os.unlink(out)
    expect(shown, "mapped again, it is captured")
    os.rmdir(work)
    client.sock.close()


# ---------------------------------------------------------------------------
# The program ended by a signal while it waits: no reserved file left



def default_signals() -> None:
    """A preexec_fn: SIGINT, SIGTERM and SIGHUP at their defaults in the child.
    A shell starts a background job with SIGINT ignored and nohup ignores
    SIGHUP; the program rightly keeps an ignored signal ignored, so the test
    gives it what a program started from a terminal has."""
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, signal.SIG_DFL)


def check_signals() -> None:
    work = tempfile.mkdtemp(prefix="vs-safety-signal-")
    env = dict(os.environ, DISPLAY=os.environ["VS_HUNG_DISPLAY"], XDG_PICTURES_DIR=work)
    for sig in (signal.SIGINT, signal.SIGTERM):
        child = subprocess.Popen([CLI], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 preexec_fn=default_signals)
        deadline = time.monotonic() + 5
        while not os.listdir(work) and time.monotonic() < deadline:
            time.sleep(0.01)
        reserved = os.listdir(work)
        time.sleep(0.3)
        child.send_signal(sig)
        child.communicate(timeout=30)
        expect(len(reserved) == 1 and child.returncode == -sig and os.listdir(work) == [],
               f"{sig.name} while the capture waits on a silent server: {reserved} removed")
    os.rmdir(work)


# ---------------------------------------------------------------------------
# Python's save on a full disk (run in a mount namespace of its own)


def check_full_disk() -> None:
    disk = os.environ["VS_FULL_DISK"]
    # Noise: no encoding makes it small enough for the room the old file had.
    shot = vs.Picture(0, 0, 200, 100, os.urandom(200 * 100 * 4))
    for name in ("old.png", "old.ppm"):
        path = os.path.join(disk, name)
        old = os.urandom(512)
        with open(path, "wb") as file:
            file.write(old)
        filler = os.path.join(disk, "filler")
        fd = os.open(filler, os.O_WRONLY | os.O_CREAT, 0o600)
        for size in (4096, 512, 1):
            try:
                while True:
                    os.write(fd, b"\0" * size)
            except OSError:
                pass
        os.close(fd)
        raised = False
        try:
            shot.save(path)
        except (OSError, vs.ScreenshotError):
            raised = True
        with open(path, "rb") as file:
            kept = file.read() == old
        os.unlink(filler)
        os.unlink(path)
        expect(raised and kept, f"save over {name} on a full disk: raised {raised}, old file kept {kept}")


CHECKS: Dict[str, Callable[[], None]] = {
    "pictures": check_pictures,
    "display-switch": check_display_switch,
    "cookie-detail": check_cookie_detail,
    "fifo": check_fifo,
    "dev-full": check_dev_full,
    "unmapped-window": check_unmapped_window,
    "signals": check_signals,
    "full-disk": check_full_disk,
}

if __name__ == "__main__":
    CHECKS[sys.argv[1]]()
    sys.exit(1 if failures else 0)
