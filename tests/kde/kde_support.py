"""What the KDE tests share: the rig's environment, the known pictures the
test client paints, the portal's own picture taken without the library, and
the sampling rule for scaled desktops.

Pixels are handled as rows of 32-bit words (array 'I', one RGBA pixel each,
in memory order), which keeps whole-screen comparisons fast enough in plain
Python.
"""

from __future__ import annotations

import ctypes
import os
import select
import subprocess
import sys
import time
import urllib.parse
from array import array
from typing import Dict, List, NamedTuple, Optional, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "python"))
sys.path.insert(0, os.path.join(ROOT, "python", "tests"))
sys.path.insert(0, HERE)

import pngcheck  # noqa: E402  (the project's strict reader of the library's PNGs)
import portal_probe  # noqa: E402

PICTURES = os.environ.get("KDE_RIG_PICTURES", "")
SCALE = int(os.environ.get("KDE_RIG_SCALE", "0") or 0)
PAINT = os.environ.get("KDE_PAINT", os.path.join(ROOT, "build", "kde", "kde_paint"))
X11_PAINT = os.path.join(os.path.dirname(PAINT), "x11_paint")


class Picture(NamedTuple):
    width: int
    height: int
    rows: List[array]  # one array('I') of width pixels per row

    def pixel(self, x: int, y: int) -> Tuple[int, int, int, int]:
        value = self.rows[y][x]
        return (value & 255, (value >> 8) & 255, (value >> 16) & 255, value >> 24)

    def crop(self, x: int, y: int, width: int, height: int) -> "Picture":
        return Picture(width, height, [row[x : x + width] for row in self.rows[y : y + height]])


def _rows(width: int, height: int, raw: bytes) -> List[array]:
    words = array("I")
    words.frombytes(raw)
    return [words[y * width : (y + 1) * width] for y in range(height)]


def decode_library_png(data: bytes) -> Picture:
    """A PNG the library wrote, checked for the only structure it writes."""
    image = pngcheck.decode(data)
    return Picture(image.width, image.height, _rows(image.width, image.height, b"".join(image.rows)))


def decode_any_png(data: bytes) -> Picture:
    """Any PNG (the portal's), to RGBA through libpng's simplified reader."""
    lib = pngcheck._libpng
    image = pngcheck._PngImage(version=pngcheck._PNG_IMAGE_VERSION)
    if not lib.png_image_begin_read_from_memory(ctypes.byref(image), data, len(data)):
        raise ValueError("libpng: " + image.message.decode())
    width, height = image.width, image.height
    image.format = pngcheck._PNG_FORMAT_RGBA
    pixels = ctypes.create_string_buffer(width * height * 4)
    if not lib.png_image_finish_read(ctypes.byref(image), None, pixels, width * 4, None):
        message = image.message.decode()
        lib.png_image_free(ctypes.byref(image))
        raise ValueError("libpng: " + message)
    return Picture(width, height, _rows(width, height, pixels.raw))


def read_library_file(path: str) -> Picture:
    with open(path, "rb") as file:
        return decode_library_png(file.read())


def rgba(r: int, g: int, b: int) -> int:
    return r | (g << 8) | (b << 16) | (255 << 24)


def pattern_pixel(k: int, px: int, py: int) -> int:
    """The client's pixel at buffer pixel (px, py) of output k (kde_paint.c)."""
    b = ((k & 1) << 7) | (((px >> 8) & 15) << 3) | ((py >> 8) & 7)
    return rgba(px & 255, py & 255, b)


def blocks_pixel(k: int, px: int, py: int, width: int, height: int) -> int:
    return rgba(30 + 60 * (px * 4 // width), 30 + 60 * (py * 4 // height), 200 if k & 1 else 60)


class Output(NamedTuple):
    index: int  # place in the compositor's announcement order, as the client saw it
    name: str
    x: int
    y: int
    width: int
    height: int
    scale: int


def sample_by_centre(picture: Picture, layout_width: int, layout_height: int) -> Picture:
    """The rule for a picture larger than the logical layout: logical pixel
    (x, y) takes the picture pixel under its centre, at
    floor((x + 0.5) * picture_width / layout_width) (the same for y)."""
    xs = [((2 * x + 1) * picture.width) // (2 * layout_width) for x in range(layout_width)]
    ys = [((2 * y + 1) * picture.height) // (2 * layout_height) for y in range(layout_height)]
    return Picture(
        layout_width, layout_height, [array("I", (picture.rows[sy][sx] for sx in xs)) for sy in ys]
    )


def differences(a: Picture, b: Picture, limit: int = 5) -> Tuple[int, List[str]]:
    """Number of differing pixels and the first few, as text."""
    if (a.width, a.height) != (b.width, b.height):
        return -1, [f"sizes differ: {a.width}x{a.height} against {b.width}x{b.height}"]
    count, shown = 0, []
    for y in range(a.height):
        if a.rows[y] == b.rows[y]:
            continue
        for x in range(a.width):
            if a.rows[y][x] != b.rows[y][x]:
                count += 1
                if len(shown) < limit:
                    shown.append(f"({x},{y}) {a.pixel(x, y)} != {b.pixel(x, y)}")
    return count, shown


def difference_box(a: Picture, b: Picture) -> Optional[Tuple[int, int, int, int]]:
    """Smallest rectangle (x, y, width, height) holding every differing pixel."""
    xs, ys = [], []
    for y in range(a.height):
        if a.rows[y] == b.rows[y]:
            continue
        row_a, row_b = a.rows[y], b.rows[y]
        found = [x for x in range(a.width) if row_a[x] != row_b[x]]
        xs += [found[0], found[-1]]
        ys.append(y)
    if not ys:
        return None
    return (min(xs), min(ys), max(xs) - min(xs) + 1, max(ys) - min(ys) + 1)


def pictures_left() -> List[str]:
    try:
        return sorted(os.listdir(PICTURES))
    except FileNotFoundError:
        return []


def portal_picture(timeout: float = 20.0) -> Picture:
    """The portal's own picture of the desktop, taken without the library;
    its file is read and removed."""
    answer = portal_probe.screenshot(timeout)
    if answer["response"] != 0 or not answer["uri"]:
        raise AssertionError(f"the portal gave no picture: {answer}")
    path = urllib.parse.unquote(urllib.parse.urlparse(answer["uri"]).path)
    with open(path, "rb") as file:
        data = file.read()
    os.remove(path)
    return decode_any_png(data)


class Painter:
    """kde_paint running: the known picture fullscreen on every output."""

    def __init__(self, mode: str = "pattern", timeout: float = 30.0) -> None:
        self.mode = mode
        args = [PAINT] + (["blocks"] if mode == "blocks" else [])
        # Its complaints go to the test's own standard error.
        self.process = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
        self._pending = b""
        self.outputs: List[Output] = []
        self._row_cache: Dict[tuple, bytearray] = {}
        deadline = time.monotonic() + timeout
        while True:
            line = self._line(deadline)
            if line == "ready":
                break
            _, k, name, x, y, width, height, scale = line.split()
            self.outputs.append(Output(int(k), name, int(x), int(y), int(width), int(height), int(scale)))
        self.expected = self._expected()
        self.pointer = self._settle(deadline)

    def _line(self, deadline: float) -> str:
        # Reads the descriptor itself: a buffered reader could hold the next
        # line already while select waits for more.
        fd = self.process.stdout.fileno()
        while b"\n" not in self._pending:
            remaining = deadline - time.monotonic()
            ready, _, _ = select.select([fd], [], [], max(0.0, remaining))
            chunk = os.read(fd, 4096) if ready else b""
            if not chunk:
                self.close()
                raise AssertionError("kde_paint did not show its picture")
            self._pending += chunk
        line, self._pending = self._pending.split(b"\n", 1)
        return line.decode().strip()

    def layout(self) -> Tuple[int, int]:
        """The logical bounding box of the outputs (all at non-negative positions here)."""
        return (max(o.x + o.width for o in self.outputs), max(o.y + o.height for o in self.outputs))

    def _expected(self) -> Picture:
        """The desktop as painted, in pixels of the portal's picture (each
        output at its scale, side by side as the layout places them)."""
        scale = max(o.scale for o in self.outputs)
        width, height = self.layout()
        rows = [bytearray(4 * width * scale) for _ in range(height * scale)]
        for o in self.outputs:
            ow, oh = o.width * scale, o.height * scale
            left, right = 4 * o.x * scale, 4 * (o.x * scale + ow)
            for py in range(oh):
                rows[o.y * scale + py][left:right] = self._painted_row(o.index, py, ow, oh)
        pictures = [array("I") for _ in rows]
        for words, row in zip(pictures, rows):
            words.frombytes(bytes(row))
        return Picture(width * scale, height * scale, pictures)

    def _painted_row(self, k: int, py: int, ow: int, oh: int) -> bytes:
        # A blocks row depends on the block row only; a pattern row, apart
        # from its G channel, on py >> 8 only.
        key = (k, ow, oh, py * 4 // oh if self.mode == "blocks" else py >> 8)
        cached = self._row_cache.get(key)
        if cached is None:
            row = array("I", (self._pixel(k, px, py, ow, oh) for px in range(ow)))
            cached = bytearray(row.tobytes())
            self._row_cache[key] = cached
        if self.mode == "blocks":
            return bytes(cached)
        row = bytearray(cached)
        row[1::4] = bytes([py & 255]) * ow
        return bytes(row)

    def _pixel(self, k: int, px: int, py: int, ow: int, oh: int) -> int:
        if self.mode == "blocks":
            return blocks_pixel(k, px, py, ow, oh)
        return pattern_pixel(k, px, py)

    def _settle(self, deadline: float) -> Tuple[int, int, int, int]:
        """Waits until the portal shows the picture (KWin may still animate
        the new windows) and returns the box around the mouse pointer, the one
        place where the desktop differs from what was painted."""
        last = None
        while time.monotonic() < deadline:
            shown = portal_picture()
            box = difference_box(shown, self.expected) if (shown.width, shown.height) == (
                self.expected.width,
                self.expected.height,
            ) else (0, 0, shown.width, shown.height)
            last = box
            if box is None:
                return (0, 0, 0, 0)
            limit = 64 * max(o.scale for o in self.outputs)
            if box[2] <= limit and box[3] <= limit:
                return box
            time.sleep(0.2)
        self.close()
        raise AssertionError(f"the desktop never showed the painted picture (differences in {last})")

    def close(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for stream in (self.process.stdin, self.process.stdout):
            if stream:
                stream.close()


STAND_IN = os.environ.get("KDE_STAND_IN") == "1"


def library():
    """The package under test, or with KDE_STAND_IN=1 the Python stand-in
    that checks these tests where the library has no portal layer yet."""
    if STAND_IN:
        import stand_in

        return stand_in
    import vantorel_screenshot

    return vantorel_screenshot
