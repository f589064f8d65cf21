"""What needs Pillow or numpy, on the rig like test_vantorel_screenshot:
to_pil(), JPEG, grab_image and monitor_image, and numpy's view of a Picture.

Both are optional for the package, so these tests live apart from the
package's main suite, whose interpreter may have neither. The packaging stage
(scripts/test-stage-65-packages.sh) runs them with Debian's python3,
python3-pil and python3-numpy against the installed packages; by hand:

    /usr/bin/python3 -m unittest discover -s python/tests -p pillow_images.py
"""

from __future__ import annotations

import copy
import gc
import io
import os
import subprocess
import sys
import tempfile
import unittest

import numpy as np
from PIL import Image as PilImage

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

    def test_jpeg_decodes_to_about_the_pixels(self) -> None:
        shot = vs.grab((1000, 100, 64, 48))
        with tempfile.TemporaryDirectory() as work:
            for name in ("shot.jpg", "shot.JPEG"):
                with self.subTest(name):
                    path = os.path.join(work, name)
                    shot.save(path)
                    with PilImage.open(path) as image:
                        self.assertEqual((image.format, image.mode, image.size), ("JPEG", "RGB", shot.size))
                        decoded = np.asarray(image).astype(int)
                    error = np.abs(decoded - np.asarray(shot)[:, :, :3].astype(int)).mean()
                    self.assertLess(error, 8)

    def test_without_pillow_the_package_works_and_images_name_pillow(self) -> None:
        # sys.modules[name] = None makes every import of that name fail.
        code = """
import sys
sys.modules["PIL"] = None
sys.path[:0] = sys.argv[1:]
import os, tempfile
import vantorel_screenshot as vs
assert vs.grab_png(0, 0, 4, 4).startswith(b"\\x89PNG")
shot = vs.grab((0, 0, 4, 4))
with tempfile.TemporaryDirectory() as work:
    shot.save(os.path.join(work, "x.png"))
    shot.save(os.path.join(work, "x.ppm"))
    shot.save(os.path.join(work, "x.jpg"))
    calls = (lambda: vs.grab_image(0, 0, 4, 4), lambda: vs.monitor_image(0), shot.to_pil,
             lambda: shot.to_pil("RGBA"))
    for call in calls:
        try:
            call()
        except ImportError as error:
            print(error.name, error)
        else:
            raise SystemExit("no ImportError")
    assert sorted(os.listdir(work)) == ["x.jpg", "x.png", "x.ppm"], os.listdir(work)
"""
        path = [] if os.environ.get("VS_TEST_INSTALLED") == "1" else [os.path.dirname(HERE)]
        done = subprocess.run(
            [sys.executable, "-c", code, *path], capture_output=True, text=True, timeout=60
        )
        self.assertEqual(done.returncode, 0, done.stderr)
        lines = done.stdout.splitlines()
        self.assertEqual(len(lines), 4, done.stdout)
        for line in lines:
            self.assertTrue(line.startswith("PIL "), line)
            self.assertIn("Pillow", line)


class NumpyView(unittest.TestCase):
    """np.asarray(grab()): the pixels themselves, shaped (height, width, 4)."""

    def test_array_equals_the_png_routes_pixels(self) -> None:
        listing = vs.monitors()
        left = min(m["x"] for m in listing)
        top = min(m["y"] for m in listing)
        width = max(m["x"] + m["width"] for m in listing) - left
        height = max(m["y"] + m["height"] for m in listing) - top
        for what, target, rect in (
            ("whole screen", None, (left, top, width, height)),
            ("cut region", (-5, -5, 105, 55), (0, 0, 100, 50)),
            ("monitor 1", 1, (listing[1]["x"], listing[1]["y"], listing[1]["width"], listing[1]["height"])),
        ):
            with self.subTest(what):
                shot = vs.grab(target)
                array = np.asarray(shot)
                self.assertEqual((array.shape, array.dtype), ((rect[3], rect[2], 4), np.uint8))
                with PilImage.open(io.BytesIO(vs.grab_png(*rect))) as png:
                    self.assertTrue(np.array_equal(array, np.asarray(png.convert("RGBA"))))
                self.assertTrue(np.array_equal(np.asarray(shot.to_pil("RGBA")), array))
                # As ImageGrab gives it: RGB, which JPEG takes.
                image = shot.to_pil()
                self.assertEqual(image.mode, "RGB")
                self.assertTrue(np.array_equal(np.asarray(image), array[:, :, :3]))

    def test_no_copy_and_the_array_keeps_the_pixels(self) -> None:
        shot = vs.grab((1000, 100, 300, 200))
        first, second = np.asarray(shot), np.asarray(shot)
        self.assertEqual(first.ctypes.data, second.ctypes.data)
        self.assertIs(first.base, shot)
        expected = bytes(first.tobytes())
        del shot, second
        gc.collect()
        for _ in range(20):
            vs.grab((0, 0, 300, 200))  # would reuse a released block
        self.assertEqual(first.tobytes(), expected)

    def test_array_of_a_deep_copy_outlives_the_original(self) -> None:
        shot = vs.grab((1000, 100, 300, 200))
        expected = np.asarray(shot).copy()
        other = copy.deepcopy(shot)
        del shot
        gc.collect()
        for _ in range(20):
            vs.grab((0, 0, 300, 200))
        self.assertTrue(np.array_equal(np.asarray(other), expected))
