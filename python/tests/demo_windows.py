"""The demo's windows, opened on the test display, and what they must show.

vs-demo-windows (cli/demo-windows.c) draws three windows in exact colours; the
functions here give the colour of every pixel, so a capture of a window, or of
a part of the screen that covers one, can be compared pixel for pixel.
"""

from __future__ import annotations

import os
import subprocess
from typing import Callable, Dict, List, NamedTuple, Optional, Tuple

from pngcheck import Image

RGB = Tuple[int, int, int]

BAR_COLOURS: List[RGB] = [
    (255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 0),
    (0, 255, 255), (255, 0, 255), (255, 255, 255), (0, 0, 0),
]
FRAME_COLOURS: List[RGB] = [(255, 255, 255), (255, 0, 0), (0, 0, 0), (0, 255, 0), (0, 0, 255)]
WORD_LENGTHS = [28, 44, 16, 36, 52, 20, 40]
WHITE, BLACK = (255, 255, 255), (0, 0, 0)
ORANGE, NAVY = (255, 128, 0), (0, 0, 128)


def _ink_spans() -> List[Tuple[int, int, int]]:
    """(line, first x, end x) of each dash of the bars window's text band."""
    spans = []
    for line in range(3):
        x, word = 12, line * 2
        while x + WORD_LENGTHS[word % 7] <= 308:
            spans.append((line, x, x + WORD_LENGTHS[word % 7]))
            x += WORD_LENGTHS[word % 7] + 8
            word += 1
    return spans


_SPANS = _ink_spans()


def bars(x: int, y: int) -> RGB:
    if y < 180:
        return BAR_COLOURS[x // 40]
    for line, start, end in _SPANS:
        if 188 + line * 16 <= y < 194 + line * 16 and start <= x < end:
            return BLACK
    return WHITE


def checker(x: int, y: int) -> RGB:
    return NAVY if (x // 32 + y // 32) % 2 else ORANGE


def frames(x: int, y: int) -> RGB:
    ring = min(x, y, 199 - x, 199 - y) // 20
    return FRAME_COLOURS[min(ring, 4)]


PATTERNS: Dict[str, Callable[[int, int], RGB]] = {
    "bars": bars,
    "checker": checker,
    "frames": frames,
}


class Window(NamedTuple):
    id: int
    x: int
    y: int
    width: int
    height: int
    name: str

    def expected(self, x: int, y: int) -> RGB:
        return PATTERNS[self.name](x, y)


def mismatches(image: Image, window: Window, left: int = 0, top: int = 0) -> List[str]:
    """Pixels of ``window`` that ``image`` gets wrong, the window's top-left
    corner being at (left, top) in the image; at most a few are listed."""
    wrong = []
    for y in range(window.height):
        row = image.rows[top + y]
        for x in range(window.width):
            i = 4 * (left + x)
            got = (row[i], row[i + 1], row[i + 2], row[i + 3])
            want = window.expected(x, y) + (255,)
            if got != want:
                wrong.append(f"{window.name} ({x},{y}): got {got}, want {want}")
                if len(wrong) >= 5:
                    return wrong
    return wrong


class DemoWindows:
    """Runs vs-demo-windows until stop(); ``windows`` maps name to Window."""

    def __init__(self, program: str) -> None:
        self.process = subprocess.Popen(
            [program], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True
        )
        self.windows: Dict[str, Window] = {}
        assert self.process.stdout is not None
        for _ in range(3):
            line = self.process.stdout.readline()
            if not line:
                self.stop()
                raise RuntimeError(f"{program} ended before opening its windows")
            ident, x, y, width, height, name = line.split()
            self.windows[name] = Window(int(ident, 16), int(x), int(y), int(width), int(height), name)

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=10)
        if self.process.stdout is not None:
            self.process.stdout.close()


def build_path(env: str, relative: str) -> Optional[str]:
    """A build product: $env when set, else under $VS_BUILD_DIR (default build/)."""
    if os.environ.get(env):
        return os.environ[env]
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    build = os.environ.get("VS_BUILD_DIR", os.path.join(root, "build"))
    path = os.path.join(build, relative)
    return path if os.path.exists(path) else None
