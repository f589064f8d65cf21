"""A stand-in for the vantorel_screenshot package on the KDE rig, written in
Python over the portal probe, so that the KDE tests themselves can be run and
checked where the library has no portal layer (KDE_STAND_IN=1). It knows the
rig's layout instead of asking Wayland (two outputs side by side), cuts
scaled pictures by the centre rule and names failures as the library does.
It reads the portal's file and then removes it by name, without any care
for a second host that got the same name; KDE_STAND_IN_REMOVE_DELAY=S
waits S seconds in between, the mistake the race test must catch.
"""

from __future__ import annotations

import os
import struct
import time
import urllib.parse
import zlib
from typing import Any, Dict, List

import portal_probe
from kde_support import SCALE, Picture, decode_any_png, sample_by_centre


class ScreenshotError(Exception):
    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


_OUTPUT = (1280, 800)


def monitors() -> List[Dict[str, Any]]:
    width, height = _OUTPUT
    return [
        {"index": k, "name": f"Virtual-{k}", "x": k * width, "y": 0, "width": width, "height": height,
         "is_primary": k == 0}
        for k in range(2)
    ]


def _desktop(x: int, y: int, width: int, height: int) -> Picture:
    answer = portal_probe.screenshot(10.0)
    if answer["response"] != 0 or not answer["uri"]:
        code = 206 if answer["response"] == 1 else 203
        raise ScreenshotError(f"BitBlt ({x},{y} {width}x{height}) failed (error {code})")
    path = urllib.parse.unquote(urllib.parse.urlparse(answer["uri"]).path)
    try:
        with open(path, "rb") as file:
            data = file.read()
        time.sleep(float(os.environ.get("KDE_STAND_IN_REMOVE_DELAY", "0")))
        os.remove(path)
    except OSError:
        raise ScreenshotError(f"BitBlt ({x},{y} {width}x{height}) failed (error 205)") from None
    picture = decode_any_png(data)
    return sample_by_centre(picture, 2 * _OUTPUT[0], _OUTPUT[1]) if SCALE > 1 else picture


def _png(picture: Picture) -> bytes:
    raw = b"".join(b"\0" + row.tobytes() for row in picture.rows)

    def chunk(kind: bytes, body: bytes) -> bytes:
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    header = struct.pack(">IIBBBBB", picture.width, picture.height, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 1)) + chunk(b"IEND", b"")


def _cut(x: int, y: int, width: int, height: int) -> bytes:
    if width <= 0 or height <= 0:
        raise ScreenshotError(f"invalid region size {width}x{height}")
    right, bottom = 2 * _OUTPUT[0], _OUTPUT[1]
    left, top = max(x, 0), max(y, 0)
    cut_right, cut_bottom = min(x + width, right), min(y + height, bottom)
    if left >= cut_right or top >= cut_bottom:
        raise ScreenshotError(f"region ({x},{y} {width}x{height}) is outside screen bounds (0,0 {right}x{bottom})")
    desktop = _desktop(left, top, cut_right - left, cut_bottom - top)
    return _png(desktop.crop(left, top, cut_right - left, cut_bottom - top))


def grab_png(x: int, y: int, width: int, height: int) -> bytes:
    return _cut(x, y, width, height)


def _write(path: str, data: bytes) -> None:
    with open(path, "wb") as file:
        file.write(data)


def save_region(x: int, y: int, width: int, height: int, path: str) -> None:
    _write(path, _cut(x, y, width, height))


def save_all(path: str) -> None:
    _write(path, _cut(0, 0, 2 * _OUTPUT[0], _OUTPUT[1]))


def save_monitor(index: int, path: str) -> None:
    if not 0 <= index < 2:
        raise ScreenshotError(f"monitor index {index} out of range (0..1)")
    m = monitors()[index]
    _write(path, _cut(m["x"], m["y"], m["width"], m["height"]))
