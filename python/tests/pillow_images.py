"""grab_image and monitor_image, on the rig like test_vantorel_screenshot.

Pillow is optional for the package, so these tests live apart from the
package's main suite, whose interpreter may have no Pillow. The packaging
stage (scripts/test-stage-65-packages.sh) runs them with Debian's python3 and
python3-pil against the installed packages; by hand:

    /usr/bin/python3 -m unittest discover -s python/tests -p pillow_images.py
"""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
import unittest

import test_vantorel_screenshot as suite
from demo_windows import mismatches
from pngcheck import Image, decode_file
from test_vantorel_screenshot import HERE, setUpModule, tearDownModule  # noqa: F401

vs = suite.vs


def from_pillow(image) -> Image:
    """A Pillow image as pngcheck's rows, for the same pixel comparisons."""
    data = image.tobytes()
    stride = 4 * image.width
    return Image(image.width, image.height, [data[y * stride : (y + 1) * stride] for y in range(image.height)])


class PillowImages(unittest.TestCase):
    """grab_image and monitor_image; Pillow is python3-pil on the rig."""

    def test_grab_image_shows_each_window(self) -> None:
        for window in suite.windows.windows.values():
            with self.subTest(window=window.name):
                image = vs.grab_image(window.x, window.y, window.width, window.height)
                self.assertEqual((image.mode, image.size), ("RGBA", (window.width, window.height)))
                self.assertEqual(mismatches(from_pillow(image), window), [])

    def test_monitor_image_is_what_save_monitor_writes(self) -> None:
        with tempfile.TemporaryDirectory() as work:
            for monitor in vs.monitors():
                with self.subTest(monitor=monitor["index"]):
                    path = os.path.join(work, "m.png")
                    vs.save_monitor(monitor["index"], path)
                    image = vs.monitor_image(monitor["index"])
                    self.assertEqual(image.mode, "RGBA")
                    self.assertEqual(from_pillow(image), decode_file(path))

    def test_failures_are_the_librarys(self) -> None:
        count = len(vs.monitors())
        for index in (count, -1):
            with self.subTest(index=index):
                with self.assertRaises(vs.ScreenshotError) as expected:
                    vs.save_monitor(index, os.path.join(tempfile.gettempdir(), "never.png"))
                with self.assertRaises(vs.ScreenshotError) as caught:
                    vs.monitor_image(index)
                self.assertEqual(caught.exception.message, expected.exception.message)
        with self.assertRaises(vs.ScreenshotError) as caught:
            vs.grab_image(0, 0, 0, 5)
        self.assertEqual(caught.exception.message, "invalid region size 0x5")
        with self.assertRaises(OverflowError):
            vs.monitor_image(2**31)

    def test_without_pillow_the_package_works_and_images_name_pillow(self) -> None:
        # sys.modules[name] = None makes every import of that name fail.
        code = """
import sys
sys.modules["PIL"] = None
sys.path[:0] = sys.argv[1:]
import vantorel_screenshot as vs
assert vs.grab(0, 0, 4, 4).startswith(b"\\x89PNG")
for call in (lambda: vs.grab_image(0, 0, 4, 4), lambda: vs.monitor_image(0)):
    try:
        call()
    except ImportError as error:
        print(error.name, error)
    else:
        raise SystemExit("no ImportError")
"""
        path = [] if os.environ.get("VS_TEST_INSTALLED") == "1" else [os.path.dirname(HERE)]
        done = subprocess.run(
            [sys.executable, "-c", code, *path], capture_output=True, text=True, timeout=60
        )
        self.assertEqual(done.returncode, 0, done.stderr)
        lines = done.stdout.splitlines()
        self.assertEqual(len(lines), 2, done.stdout)
        for line in lines:
            self.assertTrue(line.startswith("PIL "), line)
            self.assertIn("Pillow", line)
