"""The bytes the package hands the library for a path, on Windows and on Linux.

Needs neither a display nor the library: the encoding is a function of the
path and the platform, and a refused path never reaches the library.
"""

from __future__ import annotations

import os
import pathlib
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
if os.environ.get("VS_TEST_INSTALLED") != "1":
    sys.path.insert(0, os.path.dirname(HERE))

import vantorel_screenshot as vs  # noqa: E402
from vantorel_screenshot import _encode_path  # noqa: E402

NAME = "José-日本.png"
UTF8 = NAME.encode("utf-8")


class PathBytes(unittest.TestCase):
    def test_windows(self) -> None:
        rows = [
            ("str, beyond every ANSI code page", NAME, UTF8),
            ("str in a UTF-8 folder", "写真\\shot.png", "写真\\shot.png".encode("utf-8")),
            ("PathLike of str", pathlib.PureWindowsPath("C:/Users/José") / NAME,
             "C:\\Users\\José\\".encode("utf-8") + UTF8),
            ("bytes in the ANSI code page go as given", b"Jos\xe9.png", b"Jos\xe9.png"),
            ("bytes in UTF-8 go as given", UTF8, UTF8),
            ("PathLike of bytes", _BytesPath(b"\x93\xfa\x96\x7b.png"), b"\x93\xfa\x96\x7b.png"),
            ("ASCII", "shot.png", b"shot.png"),
        ]
        for label, path, expected in rows:
            with self.subTest(label):
                self.assertEqual(_encode_path(path, windows=True), expected)

    def test_linux(self) -> None:
        rows = [
            ("str", NAME, os.fsencode(NAME)),
            ("bytes that are no UTF-8 go as given", b"Jos\xe9.png", b"Jos\xe9.png"),
            ("PathLike", pathlib.PurePosixPath("/tmp") / NAME, os.fsencode("/tmp/" + NAME)),
            # A name os.listdir() gave back as str from bytes that were no UTF-8.
            ("surrogate-escaped str", os.fsdecode(b"shot-\xff.png"), b"shot-\xff.png"),
        ]
        for label, path, expected in rows:
            with self.subTest(label):
                self.assertEqual(_encode_path(path, windows=False), expected)

    def test_refused(self) -> None:
        rows = [
            ("NUL in str", "a\x00b.png"),
            ("NUL in bytes", b"a\x00b.png"),
            ("NUL in a PathLike", pathlib.PurePath("dir") / "a\x00b.png"),
            ("NUL at the end", "shot.png\x00"),
        ]
        for windows in (True, False):
            for label, path in rows:
                with self.subTest(label, windows=windows):
                    with self.assertRaisesRegex(ValueError, "embedded null byte"):
                        _encode_path(path, windows=windows)
        # A lone surrogate has no UTF-8: refused rather than sent as ANSI.
        with self.assertRaises(ValueError):
            _encode_path("shot-\udcff.png", windows=True)
        with self.assertRaises(TypeError):
            _encode_path(42, windows=True)  # type: ignore[arg-type]

    def test_exports_refuse_nul_before_the_call(self) -> None:
        # Raised before the library is loaded or called: no file named "a".
        calls = [
            lambda: vs.save_all("a\x00b.png"),
            lambda: vs.save_monitor(0, "a\x00b.png"),
            lambda: vs.save_region(0, 0, 1, 1, b"a\x00b.png"),
            lambda: vs.save_window(1, pathlib.PurePath("a\x00b.png")),
        ]
        for call in calls:
            with self.assertRaisesRegex(ValueError, "embedded null byte"):
                call()


class _BytesPath:
    def __init__(self, raw: bytes) -> None:
        self.raw = raw

    def __fspath__(self) -> bytes:
        return self.raw


if __name__ == "__main__":
    unittest.main()
