"""Screen capture over the vantorel-screenshot shared library.

    import numpy as np
    import vantorel_screenshot as vs

    shot = vs.grab()                      # the whole screen
    shot = vs.grab(0)                     # monitor 0, as listed by vs.monitors()
    shot = vs.grab(vs.monitors()[1])      # a monitor's dict
    shot = vs.grab({"left": 0, "top": 0, "width": 640, "height": 480})
    shot = vs.grab((0, 0, 640, 480))      # x, y, width, height
    shot = vs.grab(cursor=True)           # with the mouse pointer drawn in
    shot.left, shot.top, shot.size        # the rectangle really captured
    array = np.asarray(shot)              # (height, width, 4) uint8, RGBA, no copy
    shot.rgba, shot.rgb                   # bytes
    shot.save("shot.png")                 # .png, .jpg/.jpeg, .ppm: the library's encoder
    shot.save("shot.png", level=9)        # PNG 0-9 (default 7), JPEG quality 1-100
    image = shot.to_pil()                 # a Pillow image, mode RGB (to_pil("RGBA") keeps alpha)

    vs.monitors()                         # [{'index': 0, 'name': ..., 'x': ..., ...}, ...]
    vs.save_all("screen.png")             # PNG files written by the library
    vs.save_monitor(0, "monitor0.png")
    vs.save_region(0, 0, 640, 480, "corner.png")
    vs.save_window(0x3a00007, "window.png")   # X11 window id, or an HWND on Windows
    vs.windows()                          # [{'id': '0x3a00007', 'title': ..., 'app': ...}, ...]
    shot = vs.grab(window="0x3a00007")    # a window by its listed id
    png = vs.grab_png(0, 0, 640, 480)         # PNG bytes

A rectangle is cut to the monitors' bounding box; one wholly outside it, or
with a width or height below 1, is refused. A failed call raises
ScreenshotError with the library's message, its error code and the code's
meaning in words.

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

import ctypes as _ctypes
import ctypes.util as _ctypes_util
import json as _json
import operator as _operator
import os as _os
import re as _re
import sys as _sys
import threading as _threading
import weakref as _weakref
from typing import TYPE_CHECKING as _TYPE_CHECKING
from typing import Any as _Any
from typing import Dict as _Dict
from typing import List as _List
from typing import Mapping as _Mapping
from typing import Optional as _Optional
from typing import Sequence as _Sequence
from typing import Tuple as _Tuple
from typing import Union as _Union

from . import _codes

if _TYPE_CHECKING:
    from PIL import Image as _PilImage

__version__ = "1.0.0"

__all__ = [
    "Picture",
    "ScreenshotError",
    "grab",
    "grab_image",
    "grab_png",
    "library_path",
    "monitor_image",
    "monitors",
    "save_all",
    "save_monitor",
    "save_region",
    "save_window",
    "version",
    "windows",
]

_StrPath = _Union[str, bytes, "_os.PathLike[str]", "_os.PathLike[bytes]"]
_Target = _Union[None, int, _Mapping[str, _Any], _Sequence[int]]

_LIBRARY_ENV = "VANTOREL_SCREENSHOT_LIBRARY"

_INT_MIN = -(2**31)
_INT_MAX = 2**31 - 1

# grab() with no target: a request that covers every monitor any desktop has,
# which the library cuts to their bounding box in the same call.
_EVERYTHING = (-(2**30), -(2**30), _INT_MAX, _INT_MAX)

if _sys.platform == "win32":
    _NAMES = ["vantorel-screenshot.dll"]
elif _sys.platform == "darwin":
    _NAMES = ["libvantorel-screenshot.1.dylib", "libvantorel-screenshot.dylib"]
else:
    _NAMES = ["libvantorel-screenshot.so.1", "libvantorel-screenshot.so"]


# ---------------------------------------------------------------------------
# Errors

_CODE_AT_END = _re.compile(r"\(error (\d+)\)$")


def _reason_of(code: _Optional[int]) -> _Optional[str]:
    if code is None:
        return None
    if _sys.platform == "win32":
        return _windows_reason(code)
    if _sys.platform.startswith("linux"):
        return _codes.REASONS.get(code)
    return None


def _windows_reason(code: int) -> _Optional[str]:
    """The system's text for a Windows error code, or None."""
    format_from_system, ignore_inserts = 0x1000, 0x200
    buffer = _ctypes.create_unicode_buffer(512)
    try:
        kernel32 = _ctypes.WinDLL("kernel32")  # type: ignore[attr-defined]
        length = kernel32.FormatMessageW(
            format_from_system | ignore_inserts, None, code, 0, buffer, len(buffer), None
        )
    except (AttributeError, OSError):
        return None
    text = buffer.value[:length].strip().rstrip(".")
    return text or None


class ScreenshotError(Exception):
    """A call into the library failed.

    ``message`` is the library's own text, word for word; ``code`` the number
    N of its closing "(error N)", or None when it has none; ``reason`` that
    code's meaning in words (the library's table on Linux, the system's text
    on Windows), or None; ``detail`` the words the peer gave (an X server's
    reason for refusing the connection, "Invalid MIT-MAGIC-COOKIE-1 key"),
    or "". ``str()`` gives the message followed by the reason and the detail.
    """

    def __init__(self, message: str, detail: str = "") -> None:
        super().__init__(message)
        self.message = message
        self.detail = detail
        found = _CODE_AT_END.search(message)
        self.code: _Optional[int] = int(found.group(1)) if found else None
        self.reason: _Optional[str] = _reason_of(self.code)

    def __str__(self) -> str:
        return ": ".join(part for part in (self.message, self.reason, self.detail) if part)


# ---------------------------------------------------------------------------
# The library

_lock = _threading.Lock()
_lib: _Optional[_ctypes.CDLL] = None
_lib_path: _Optional[str] = None


# Refusals of what a save or an encode was asked for, raised as ValueError:
# the library's own words, the same the program prints.
_REFUSALS = ("unknown image format", "no image format", "PNG level", "JPEG quality")


def _candidates() -> _List[str]:
    configured = _os.environ.get(_LIBRARY_ENV)
    if configured:
        # An explicit choice is not second-guessed: no fallback behind it.
        return [configured]
    here = _os.path.dirname(_os.path.abspath(__file__))
    found = [_os.path.join(here, name) for name in _NAMES]
    found = [path for path in found if _os.path.exists(path)]
    system = _ctypes_util.find_library("vantorel-screenshot")
    if system:
        found.append(system)
    # Bare names let the dynamic loader search LD_LIBRARY_PATH, the cache, PATH.
    found.extend(_NAMES)
    return found


class _GrabbedPicture(_ctypes.Structure):
    """The library's screenshot_picture."""

    _fields_ = [
        ("x", _ctypes.c_int),
        ("y", _ctypes.c_int),
        ("width", _ctypes.c_int),
        ("height", _ctypes.c_int),
        ("rgba", _ctypes.c_void_p),
    ]


# screenshot_grab_region's flag: the mouse pointer drawn into the picture.
_WITH_CURSOR = 0x1


def _declare(lib: _ctypes.CDLL) -> None:
    c_int, c_char_p, c_void_p = _ctypes.c_int, _ctypes.c_char_p, _ctypes.c_void_p
    int_p = _ctypes.POINTER(c_int)
    byte_pp = _ctypes.POINTER(_ctypes.POINTER(_ctypes.c_uint8))
    picture_p = _ctypes.POINTER(_GrabbedPicture)
    signatures = {
        "screenshot_version": ([], c_char_p),
        "screenshot_last_error": ([], c_char_p),
        "screenshot_list_monitors_json": ([], c_char_p),
        "screenshot_capture_all_png": ([c_char_p], c_int),
        "screenshot_capture_monitor_png": ([c_int, c_char_p], c_int),
        "screenshot_capture_region_png": ([c_int, c_int, c_int, c_int, c_char_p], c_int),
        "screenshot_capture_window_png": ([c_void_p, c_char_p], c_int),
        "screenshot_capture_region_mem": ([c_int, c_int, c_int, c_int, byte_pp, int_p], c_int),
        "screenshot_capture_region_rgba": (
            [c_int, c_int, c_int, c_int, int_p, int_p, int_p, int_p, byte_pp],
            c_int,
        ),
        "screenshot_free_mem": ([c_void_p], None),
        "screenshot_encode": ([picture_p, c_char_p, c_int, byte_pp, int_p], c_int),
        "screenshot_save": ([picture_p, c_char_p, c_char_p, c_int], c_int),
        "screenshot_grab_region": (
            [c_int, c_int, c_int, c_int, _ctypes.c_uint, _ctypes.POINTER(_GrabbedPicture)],
            c_int,
        ),
        "screenshot_list_windows_json": ([], c_char_p),
        "screenshot_grab_window": (
            [c_char_p, _ctypes.c_uint, _ctypes.POINTER(_GrabbedPicture)],
            c_int,
        ),
    }
    for name, (argtypes, restype) in signatures.items():
        function = getattr(lib, name)
        function.argtypes = argtypes
        function.restype = restype
    # A library of before the peer's words had their export gives none.
    if hasattr(lib, "screenshot_last_error_detail"):
        lib.screenshot_last_error_detail.argtypes = []
        lib.screenshot_last_error_detail.restype = c_char_p


def _missing_itself(candidate: str, error: OSError) -> bool:
    """Whether the loader's error says the candidate itself is not there.

    Any other error is about a file that is there: a dependency of it the
    system lacks ("libxcb-composite.so.0: cannot open shared object file"),
    the wrong architecture, a symbol too new for this glibc. That is the
    answer, not a reason to try the next candidate.
    """
    text = str(error)
    if _os.path.sep in candidate:
        return not _os.path.exists(candidate)
    return text.startswith(candidate + ":") and "cannot open shared object file" in text


def _library() -> _ctypes.CDLL:
    """The loaded library; the caller holds _lock."""
    global _lib, _lib_path
    if _lib is not None:
        return _lib
    failures = []
    for candidate in _candidates():
        try:
            lib = _ctypes.CDLL(candidate)
        except OSError as error:
            if not _missing_itself(candidate, error):
                raise OSError(
                    f"the vantorel-screenshot library {candidate} cannot be loaded: {error}"
                ) from error
            failures.append(f"{candidate}: {error}")
            continue
        _declare(lib)
        _lib, _lib_path = lib, candidate
        return lib
    raise OSError(
        "vantorel-screenshot library not found (set "
        + _LIBRARY_ENV
        + " to its path); tried:\n  "
        + "\n  ".join(failures)
    )


def _text(raw: _Optional[bytes]) -> str:
    return (raw or b"").decode("utf-8", errors="replace")


def _failure(lib: _ctypes.CDLL) -> ScreenshotError:
    # Read under the lock: the texts are the process's, not this call's.
    detail = lib.screenshot_last_error_detail() if hasattr(lib, "screenshot_last_error_detail") else b""
    return ScreenshotError(_text(lib.screenshot_last_error()), _text(detail))


def _int(name: str, value: int) -> int:
    value = _operator.index(value)
    if not _INT_MIN <= value <= _INT_MAX:
        raise OverflowError(f"{name} {value} does not fit a 32-bit int")
    return value


def _rect(x: int, y: int, width: int, height: int) -> _List[int]:
    return [_int(n, v) for n, v in (("x", x), ("y", y), ("width", width), ("height", height))]


def _encode_path(path: _StrPath, windows: bool) -> bytes:
    """The bytes the library gets for path. The Windows library reads valid
    UTF-8 as UTF-8 and anything else as the ANSI code page, and opens the file
    by its UTF-16 name: a str goes as UTF-8, which every name survives, where
    the ANSI code page would refuse what it cannot spell. A str with a lone
    surrogate raises UnicodeEncodeError (a ValueError) there."""
    path = _os.fspath(path)
    if isinstance(path, bytes):
        raw = path
    elif windows:
        raw = path.encode("utf-8")
    else:
        raw = _os.fsencode(path)
    if b"\0" in raw:
        # The library would take the name up to the NUL and write elsewhere.
        raise ValueError("embedded null byte")
    return raw


def _path(path: _StrPath) -> bytes:
    return _encode_path(path, _sys.platform == "win32")


# ---------------------------------------------------------------------------
# Pictures


def _pillow() -> _Any:
    try:
        from PIL import Image
    except ImportError as error:
        raise ImportError(
            "vantorel_screenshot needs Pillow for this, which is not installed "
            "(pip install Pillow, or on Debian: apt install python3-pil)",
            name="PIL",
        ) from error
    return Image


class Picture:
    """A captured rectangle of the screen: 8-bit RGBA pixels, rows top to bottom.

    ``left``, ``top``, ``width`` and ``height`` give the rectangle really
    captured, in virtual-screen pixels (a request is cut to the monitors);
    ``size`` is ``(width, height)``; all of them are read-only. The picture
    owns its pixels: the library's block from a grab, released when the
    picture goes, or Python memory. ``np.asarray(picture)`` is a
    ``(height, width, 4)`` uint8 view of them, no copy; it keeps the picture
    alive. ``rgba`` and ``rgb`` are new bytes on each use. ``copy.copy``,
    ``copy.deepcopy`` and pickling give an independent picture with a copy of
    the pixels, so a picture returned by a ``multiprocessing`` worker arrives
    whole.
    """

    __slots__ = ("_left", "_top", "_width", "_height", "_pixels", "__weakref__")

    def __init__(self, left: int, top: int, width: int, height: int, rgba: _Any) -> None:
        """A picture of ``width`` x ``height`` RGBA pixels whose top-left pixel
        lay at (``left``, ``top``); ``rgba`` is bytes-like, exactly
        ``width * height * 4`` bytes, and is copied. Pictures come from grab()."""
        left, top = _int("left", left), _int("top", top)
        width, height = _int("width", width), _int("height", height)
        if width < 0 or height < 0:
            raise ValueError(f"a picture of {width}x{height} pixels")
        pixels = bytearray(rgba)
        if len(pixels) != width * height * 4:
            raise ValueError(f"{len(pixels)} bytes for {width}x{height} RGBA pixels")
        self._left, self._top, self._width, self._height = left, top, width, height
        self._pixels = pixels

    @classmethod
    def _from_library(cls, left: int, top: int, width: int, height: int, address: int) -> "Picture":
        """Takes over a block of the library's (width * height * 4 bytes from a
        grab export): the new picture owns it, and it is released when the
        picture goes. Its geometry never changes, so no view reads past it."""
        picture = cls.__new__(cls)
        picture._left, picture._top = left, top
        picture._width, picture._height = width, height
        picture._pixels = _LibraryBlock(address, width * height * 4)
        return picture

    def __reduce__(self) -> _Tuple[_Any, ...]:
        # By value: the pixels travel with the picture, to a copy or another process.
        return (Picture, (self._left, self._top, self._width, self._height, self.rgba))

    @property
    def left(self) -> int:
        """The virtual-screen column of the picture's leftmost pixels."""
        return self._left

    @property
    def top(self) -> int:
        """The virtual-screen row of the picture's top row."""
        return self._top

    @property
    def width(self) -> int:
        """Pixels a row."""
        return self._width

    @property
    def height(self) -> int:
        """Rows."""
        return self._height

    @property
    def size(self) -> _Tuple[int, int]:
        """``(width, height)``."""
        return (self._width, self._height)

    @property
    def rgba(self) -> bytes:
        """The pixels as R, G, B, A bytes, rows top to bottom, no gaps."""
        if isinstance(self._pixels, _LibraryBlock):
            return _ctypes.string_at(self._pixels.address, self._pixels.length)
        return bytes(self._pixels)

    @property
    def rgb(self) -> bytes:
        """The pixels as R, G, B bytes, without alpha."""
        rgba = self.rgba
        rgb = bytearray(self.width * self.height * 3)
        for channel in range(3):
            rgb[channel::3] = rgba[channel::4]
        return bytes(rgb)

    @property
    def __array_interface__(self) -> _Dict[str, _Any]:
        return {
            "version": 3,
            "shape": (self._height, self._width, 4),
            "typestr": "|u1",
            # The array's base is the picture, which keeps the pixels; their
            # block never moves (nothing resizes it).
            "data": (self._address(), False),
        }

    def _address(self) -> int:
        """Where the pixels are, for the library's exports and the array view."""
        if isinstance(self._pixels, _LibraryBlock):
            return self._pixels.address
        if not self._pixels:
            return 0
        view = (_ctypes.c_char * len(self._pixels)).from_buffer(self._pixels)
        return _ctypes.addressof(view)

    def to_pil(self, mode: str = "RGB") -> "_PilImage.Image":
        """A Pillow image holding a copy of the pixels: mode ``"RGB"`` (the
        default, as ImageGrab gives, so ``to_pil().save("x.jpg")`` works) or
        ``"RGBA"`` (alpha kept). Needs Pillow."""
        if mode not in ("RGB", "RGBA"):
            raise ValueError(f"to_pil() makes mode 'RGB' or 'RGBA', not {mode!r}")
        raw = "RGBX" if mode == "RGB" else "RGBA"
        image: "_PilImage.Image" = _pillow().frombytes(mode, self.size, self.rgba, "raw", raw)
        return image

    def save(self, path: _StrPath, level: _Optional[int] = None, format: _Optional[str] = None) -> None:
        """Writes the picture to ``path`` with the library's encoder, the bytes
        the program writes for the same pixels.

        ``format`` is ``"png"``, ``"jpeg"`` (or ``"jpg"``) or ``"ppm"``, in any
        case; without it the extension of ``path`` says which. ``level`` is the
        PNG compression, 0 (none) to 9 (smallest), or the JPEG quality, 1 to 100;
        None is the format's default (PNG 7, JPEG 90). A PNG is RGB when every
        pixel is opaque (a palette for 256 colours or fewer), RGBA otherwise. Another format or extension, or a level
        out of range, raises ValueError with the library's message before
        anything is written. The file is written as the library writes its
        own: a file that was there keeps its old contents when the new ones
        cannot be written (a full disk), and ScreenshotError says why."""
        name = _path(path)
        kind = None if format is None else str(format).encode("utf-8")
        number = -1 if level is None else _int("level", level)
        self._call_encoder("screenshot_save", name, kind, number)

    def _call_encoder(self, call: str, *args: _Any) -> None:
        picture = _GrabbedPicture(self.left, self.top, self.width, self.height, self._address())
        # Under the lock: the message is the process's, not this call's.
        with _lock:
            lib = _library()
            if getattr(lib, call)(_ctypes.byref(picture), *args) == 0:
                return
            message = _text(lib.screenshot_last_error())
        if message.startswith(_REFUSALS):
            raise ValueError(message)
        raise ScreenshotError(message)

    def __repr__(self) -> str:
        return (
            f"<vantorel_screenshot.Picture left={self.left} top={self.top} "
            f"width={self.width} height={self.height}>"
        )


def _release(address: int) -> None:
    lib = _lib
    if lib is not None:
        lib.screenshot_free_mem(address)


class _LibraryBlock:
    """Pixels in a block of the library's, which this owns: released when it
    is collected. Only a Picture holds one, so the block lives as long as the
    picture and every array that views it."""

    __slots__ = ("address", "length", "__weakref__")

    def __init__(self, address: int, length: int) -> None:
        self.address = address
        self.length = length
        finalizer = _weakref.finalize(self, _release, address)
        # At exit an array may still look at the block: leave it to the OS.
        finalizer.atexit = False


def _target_rect(target: _Target) -> _List[int]:
    """What grab() was given, as the x, y, width and height to ask for."""
    if target is None:
        return list(_EVERYTHING)
    if isinstance(target, bool):
        raise TypeError("grab() takes a monitor index, not a bool")
    if isinstance(target, int):
        index = _int("index", target)
        listing = monitors()
        if not 0 <= index < len(listing):
            # The library's own words for save_monitor's refusal.
            raise ScreenshotError(f"monitor index {index} out of range (0..{len(listing) - 1})")
        monitor = listing[index]
        return _rect(monitor["x"], monitor["y"], monitor["width"], monitor["height"])
    if isinstance(target, _Mapping):
        if "left" in target and "top" in target:
            x, y = target["left"], target["top"]
        elif "x" in target and "y" in target:
            x, y = target["x"], target["y"]
        else:
            raise TypeError("grab() needs a dict with left, top (or x, y), width and height")
        if "width" not in target or "height" not in target:
            raise TypeError("grab() needs a dict with left, top (or x, y), width and height")
        return _rect(x, y, target["width"], target["height"])
    if isinstance(target, (str, bytes)) or not isinstance(target, _Sequence) or len(target) != 4:
        raise TypeError(
            "grab() takes None, a monitor index, a monitor dict, a dict with left, top, "
            f"width and height, or an (x, y, width, height) tuple, not {target!r}"
        )
    return _rect(*target)


# ---------------------------------------------------------------------------
# The API


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


def monitors() -> _List[_Dict[str, _Any]]:
    """The attached monitors: dicts with index, name, x, y, width, height, is_primary."""
    with _lock:
        lib = _library()
        raw = lib.screenshot_list_monitors_json()
        if raw is None:
            raise _failure(lib)
        text = _text(raw)
    result: _List[_Dict[str, _Any]] = _json.loads(text)
    return result


def windows() -> _List[_Dict[str, _Any]]:
    """The top-level windows, topmost first where the platform says: dicts with
    id (a str that grab(window=...) takes), title, app, pid, x, y, width,
    height, focused and minimized; None where the platform cannot say (the
    geometry of a native Wayland window). The same list as the command
    ``vantorel-screenshot windows`` prints."""
    with _lock:
        lib = _library()
        raw = lib.screenshot_list_windows_json()
        if raw is None:
            raise _failure(lib)
        text = _text(raw)
    result: _List[_Dict[str, _Any]] = _json.loads(text)
    return result


def _grab_window(window: _Union[str, int], cursor: bool) -> Picture:
    if isinstance(window, bool):
        raise TypeError("grab(window=...) takes an id from windows(), not a bool")
    if isinstance(window, int):
        window = hex(_operator.index(window))
    if not isinstance(window, str):
        raise TypeError(f"grab(window=...) takes an id from windows(), not {window!r}")
    encoded = window.encode("utf-8")
    if b"\0" in encoded:
        raise ValueError("embedded null character in window id")
    picture = _GrabbedPicture()
    flags = _WITH_CURSOR if cursor else 0
    with _lock:
        lib = _library()
        if lib.screenshot_grab_window(encoded, flags, _ctypes.byref(picture)) != 0:
            raise _failure(lib)
    assert picture.rgba is not None
    return Picture._from_library(picture.x, picture.y, picture.width, picture.height, picture.rgba)


def grab(
    target: _Target = None, cursor: bool = False, *, window: _Union[None, str, int] = None
) -> Picture:
    """Captures part of the screen, or one window, as a Picture.

    ``target`` is one of:

    - None: the whole screen, every monitor's bounding box;
    - an int: that monitor, in the order of monitors();
    - a dict from monitors(), or any dict with ``left``, ``top``, ``width`` and
      ``height`` (python-mss's form);
    - a tuple ``(x, y, width, height)``; note: width and height, not the
      right and bottom edges.

    The rectangle is cut to the monitors' bounding box; the Picture says what
    was really captured. Raises ScreenshotError when the library refuses.

    With ``cursor=True`` the mouse pointer is drawn into the picture where it
    lies over the rectangle; where it cannot be (GNOME's portal, an X server
    without XFixes) ScreenshotError says why, rather than a picture without
    it.

    ``window`` instead captures one window, whole: an id as windows() lists
    it (an int is taken as an X11 window id or HWND).
    """
    if window is not None:
        if target is not None:
            raise TypeError("grab() takes a target or a window, not both")
        return _grab_window(window, cursor)
    x, y, width, height = _target_rect(target)
    if cursor:
        picture = _GrabbedPicture()
        with _lock:
            lib = _library()
            if lib.screenshot_grab_region(x, y, width, height, _WITH_CURSOR, _ctypes.byref(picture)) != 0:
                raise _failure(lib)
        assert picture.rgba is not None
        return Picture._from_library(picture.x, picture.y, picture.width, picture.height, picture.rgba)
    out = [_ctypes.c_int(0) for _ in range(4)]
    pixels = _ctypes.POINTER(_ctypes.c_uint8)()
    with _lock:
        lib = _library()
        refs = [_ctypes.byref(value) for value in out]
        if lib.screenshot_capture_region_rgba(x, y, width, height, *refs, _ctypes.byref(pixels)) != 0:
            raise _failure(lib)
    address = _ctypes.cast(pixels, _ctypes.c_void_p).value
    assert address is not None
    return Picture._from_library(out[0].value, out[1].value, out[2].value, out[3].value, address)


def grab_png(x: int, y: int, width: int, height: int) -> bytes:
    """A rectangle of the virtual screen, cut to the monitors, as PNG bytes
    encoded by the library."""
    args = _rect(x, y, width, height)
    png = _ctypes.POINTER(_ctypes.c_uint8)()
    length = _ctypes.c_int(0)
    with _lock:
        lib = _library()
        if lib.screenshot_capture_region_mem(*args, _ctypes.byref(png), _ctypes.byref(length)) != 0:
            raise _failure(lib)
    try:
        return _ctypes.string_at(png, length.value)
    finally:
        lib.screenshot_free_mem(png)


def _save(call: str, *args: _Any) -> None:
    with _lock:
        lib = _library()
        if getattr(lib, call)(*args) != 0:
            raise _failure(lib)


def save_all(path: _StrPath) -> None:
    """The whole virtual screen to a PNG file.

    ``path`` is a str, bytes or os.PathLike; on Windows a str may name any file
    (it goes as UTF-8), bytes are UTF-8 or the ANSI code page. An embedded NUL
    raises ValueError. The same holds for every save_ function."""
    _save("screenshot_capture_all_png", _path(path))


def save_monitor(index: int, path: _StrPath) -> None:
    """Monitor ``index`` (0-based, in the order of monitors()) to a PNG file.
    ``path`` as for save_all()."""
    _save("screenshot_capture_monitor_png", _int("index", index), _path(path))


def save_region(x: int, y: int, width: int, height: int, path: _StrPath) -> None:
    """A rectangle of the virtual screen, cut to the monitors, to a PNG file.
    ``path`` as for save_all()."""
    _save("screenshot_capture_region_png", *_rect(x, y, width, height), _path(path))


def save_window(window_id: int, path: _StrPath) -> None:
    """One window to a PNG file: an X11 window id on Linux, an HWND on Windows.
    ``path`` as for save_all()."""
    window_id = _operator.index(window_id)
    if not 0 <= window_id < 2 ** (8 * _ctypes.sizeof(_ctypes.c_void_p)):
        raise OverflowError(f"window id {window_id} is not a pointer-sized unsigned value")
    _save("screenshot_capture_window_png", _ctypes.c_void_p(window_id), _path(path))


def grab_image(x: int, y: int, width: int, height: int) -> "_PilImage.Image":
    """``grab((x, y, width, height)).to_pil("RGBA")``: a Pillow image, mode RGBA. Needs Pillow."""
    _pillow()
    return grab((x, y, width, height)).to_pil("RGBA")


def monitor_image(index: int) -> "_PilImage.Image":
    """``grab(index).to_pil("RGBA")``: monitor ``index`` as a Pillow image, mode RGBA,
    with the pixels save_monitor() writes. Needs Pillow."""
    _pillow()
    return grab(_int("index", index)).to_pil("RGBA")


def __dir__() -> _List[str]:
    return sorted(__all__ + ["__version__"])
