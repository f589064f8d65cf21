"""Screen capture to PNG, over the vantorel-screenshot shared library.

    import vantorel_screenshot as vs

    vs.monitors()                     # [{'index': 0, 'name': ..., 'x': ..., ...}, ...]
    vs.save_all("screen.png")
    vs.save_monitor(0, "monitor0.png")
    vs.save_region(0, 0, 640, 480, "corner.png")
    vs.save_window(0x3a00007, "window.png")   # X11 window id, or an HWND on Windows
    png = vs.grab(0, 0, 640, 480)             # PNG bytes
    image = vs.grab_image(0, 0, 640, 480)     # a Pillow image (RGBA)
    image = vs.monitor_image(0)

A failed call raises ScreenshotError with the library's message. The two
image functions need Pillow, which the package itself does not: without it
they raise ImportError.

Paths are str, bytes or os.PathLike. On Windows a str path reaches the library
as UTF-8, so any file name works, whatever the ANSI code page; bytes are passed
as given (UTF-8, or text in the ANSI code page). On Linux paths are bytes, and
a str is encoded as the os module does (os.fsencode). A path with an embedded
NUL raises ValueError, as open() does.

The library is looked for, in this order, at the path in the environment
variable VANTOREL_SCREENSHOT_LIBRARY, beside this package, then on the system's
library path. It is loaded at the first call, not at import.

The library keeps its last error and its monitor listing in process-wide
buffers; this module serialises its calls with one lock and copies both texts
before releasing it, so it may be used from several threads.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import io
import json
import operator
import os
import sys
import threading
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Union

if TYPE_CHECKING:
    from PIL import Image as _PilImage

__all__ = [
    "ScreenshotError",
    "grab",
    "grab_image",
    "library_path",
    "monitor_image",
    "monitors",
    "save_all",
    "save_monitor",
    "save_region",
    "save_window",
    "version",
]

StrPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

LIBRARY_ENV = "VANTOREL_SCREENSHOT_LIBRARY"

_INT_MIN = -(2**31)
_INT_MAX = 2**31 - 1

if sys.platform == "win32":
    _NAMES = ["vantorel-screenshot.dll"]
elif sys.platform == "darwin":
    _NAMES = ["libvantorel-screenshot.1.dylib", "libvantorel-screenshot.dylib"]
else:
    _NAMES = ["libvantorel-screenshot.so.1", "libvantorel-screenshot.so"]


class ScreenshotError(Exception):
    """A call into the library failed; ``message`` is the library's own text."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


_lock = threading.Lock()
_lib: Optional[ctypes.CDLL] = None
_lib_path: Optional[str] = None


def _candidates() -> List[str]:
    configured = os.environ.get(LIBRARY_ENV)
    if configured:
        # An explicit choice is not second-guessed: no fallback behind it.
        return [configured]
    here = os.path.dirname(os.path.abspath(__file__))
    found = [os.path.join(here, name) for name in _NAMES]
    found = [path for path in found if os.path.exists(path)]
    system = ctypes.util.find_library("vantorel-screenshot")
    if system:
        found.append(system)
    # Bare names let the dynamic loader search LD_LIBRARY_PATH, the cache, PATH.
    found.extend(_NAMES)
    return found


def _declare(lib: ctypes.CDLL) -> None:
    c_int, c_char_p, c_void_p = ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p
    byte_pp = ctypes.POINTER(ctypes.POINTER(ctypes.c_uint8))
    signatures = {
        "screenshot_version": ([], c_char_p),
        "screenshot_last_error": ([], c_char_p),
        "screenshot_list_monitors_json": ([], c_char_p),
        "screenshot_capture_all_png": ([c_char_p], c_int),
        "screenshot_capture_monitor_png": ([c_int, c_char_p], c_int),
        "screenshot_capture_region_png": ([c_int, c_int, c_int, c_int, c_char_p], c_int),
        "screenshot_capture_window_png": ([c_void_p, c_char_p], c_int),
        "screenshot_capture_region_mem": (
            [c_int, c_int, c_int, c_int, byte_pp, ctypes.POINTER(c_int)],
            c_int,
        ),
        "screenshot_free_mem": ([c_void_p], None),
    }
    for name, (argtypes, restype) in signatures.items():
        function = getattr(lib, name)
        function.argtypes = argtypes
        function.restype = restype


def _library() -> ctypes.CDLL:
    """The loaded library; the caller holds _lock."""
    global _lib, _lib_path
    if _lib is not None:
        return _lib
    failures = []
    for candidate in _candidates():
        try:
            lib = ctypes.CDLL(candidate)
        except OSError as error:
            failures.append(f"{candidate}: {error}")
            continue
        _declare(lib)
        _lib, _lib_path = lib, candidate
        return lib
    raise OSError(
        "vantorel-screenshot library not found (set "
        + LIBRARY_ENV
        + " to its path); tried:\n  "
        + "\n  ".join(failures)
    )


def _text(raw: Optional[bytes]) -> str:
    return (raw or b"").decode("utf-8", errors="replace")


def _failure(lib: ctypes.CDLL) -> ScreenshotError:
    # Read under the lock: the text is the process's, not this call's.
    return ScreenshotError(_text(lib.screenshot_last_error()))


def _int(name: str, value: int) -> int:
    value = operator.index(value)
    if not _INT_MIN <= value <= _INT_MAX:
        raise OverflowError(f"{name} {value} does not fit a 32-bit int")
    return value


def _encode_path(path: StrPath, windows: bool) -> bytes:
    """The bytes the library gets for path. The Windows library reads valid
    UTF-8 as UTF-8 and anything else as the ANSI code page, and opens the file
    by its UTF-16 name: a str goes as UTF-8, which every name survives, where
    the ANSI code page would refuse what it cannot spell. A str with a lone
    surrogate raises UnicodeEncodeError (a ValueError) there."""
    path = os.fspath(path)
    if isinstance(path, bytes):
        raw = path
    elif windows:
        raw = path.encode("utf-8")
    else:
        raw = os.fsencode(path)
    if b"\0" in raw:
        # The library would take the name up to the NUL and write elsewhere.
        raise ValueError("embedded null byte")
    return raw


def _path(path: StrPath) -> bytes:
    return _encode_path(path, sys.platform == "win32")


def library_path() -> str:
    """The path (or name) from which the library was loaded, loading it if needed."""
    with _lock:
        _library()
        assert _lib_path is not None
        return _lib_path


def version() -> str:
    """The library's version, "1.0.0"."""
    with _lock:
        return _text(_library().screenshot_version())


def monitors() -> List[Dict[str, Any]]:
    """The attached monitors: dicts with index, name, x, y, width, height, is_primary."""
    with _lock:
        lib = _library()
        raw = lib.screenshot_list_monitors_json()
        if raw is None:
            raise _failure(lib)
        text = _text(raw)
    result: List[Dict[str, Any]] = json.loads(text)
    return result


def grab(x: int, y: int, width: int, height: int) -> bytes:
    """A rectangle of the virtual screen, cut to the monitors, as PNG bytes."""
    args = [_int(n, v) for n, v in (("x", x), ("y", y), ("width", width), ("height", height))]
    png = ctypes.POINTER(ctypes.c_uint8)()
    length = ctypes.c_int(0)
    with _lock:
        lib = _library()
        if lib.screenshot_capture_region_mem(*args, ctypes.byref(png), ctypes.byref(length)) != 0:
            raise _failure(lib)
    try:
        return ctypes.string_at(png, length.value)
    finally:
        lib.screenshot_free_mem(png)


def _save(call: str, *args: Any) -> None:
    with _lock:
        lib = _library()
        if getattr(lib, call)(*args) != 0:
            raise _failure(lib)


def save_all(path: StrPath) -> None:
    """The whole virtual screen to a PNG file.

    ``path`` is a str, bytes or os.PathLike; on Windows a str may name any file
    (it goes as UTF-8), bytes are UTF-8 or the ANSI code page. An embedded NUL
    raises ValueError. The same holds for every save_ function."""
    _save("screenshot_capture_all_png", _path(path))


def save_monitor(index: int, path: StrPath) -> None:
    """Monitor ``index`` (0-based, in the order of monitors()) to a PNG file.
    ``path`` as for save_all()."""
    _save("screenshot_capture_monitor_png", _int("index", index), _path(path))


def save_region(x: int, y: int, width: int, height: int, path: StrPath) -> None:
    """A rectangle of the virtual screen, cut to the monitors, to a PNG file.
    ``path`` as for save_all()."""
    args = [_int(n, v) for n, v in (("x", x), ("y", y), ("width", width), ("height", height))]
    _save("screenshot_capture_region_png", *args, _path(path))


def save_window(window_id: int, path: StrPath) -> None:
    """One window to a PNG file: an X11 window id on Linux, an HWND on Windows.
    ``path`` as for save_all()."""
    window_id = operator.index(window_id)
    if not 0 <= window_id < 2 ** (8 * ctypes.sizeof(ctypes.c_void_p)):
        raise OverflowError(f"window id {window_id} is not a pointer-sized unsigned value")
    _save("screenshot_capture_window_png", ctypes.c_void_p(window_id), _path(path))


def _pillow() -> Any:
    try:
        from PIL import Image
    except ImportError as error:
        raise ImportError(
            "vantorel_screenshot's image functions need Pillow, which is not installed "
            "(pip install Pillow, or on Debian: apt install python3-pil)",
            name="PIL",
        ) from error
    return Image


def _decode(pillow: Any, png: bytes) -> "_PilImage.Image":
    image = pillow.open(io.BytesIO(png))
    # Decoded now, so a bad PNG fails here and the image holds no buffer.
    image.load()
    result: "_PilImage.Image" = image
    return result


def grab_image(x: int, y: int, width: int, height: int) -> "_PilImage.Image":
    """grab() as a Pillow image (mode RGBA). Needs Pillow."""
    pillow = _pillow()
    return _decode(pillow, grab(x, y, width, height))


def monitor_image(index: int) -> "_PilImage.Image":
    """Monitor ``index`` (0-based, in the order of monitors()) as a Pillow image
    (mode RGBA), with the pixels save_monitor() writes. Needs Pillow."""
    pillow = _pillow()
    index = _int("index", index)
    listing = monitors()
    if not listing:
        raise ScreenshotError("no monitors")
    if not 0 <= index < len(listing):
        # The library's own words for save_monitor's refusal.
        raise ScreenshotError(f"monitor index {index} out of range (0..{len(listing) - 1})")
    monitor = listing[index]
    png = grab(monitor["x"], monitor["y"], monitor["width"], monitor["height"])
    return _decode(pillow, png)
