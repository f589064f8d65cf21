"""The Python package against the real library on an X display (the rig).

VANTOREL_SCREENSHOT_LIBRARY names the library under test; the demo window
opener comes from $VS_DEMO_WINDOWS or the build directory. With
VS_TEST_INSTALLED=1 the package is the one the interpreter has installed
(pip), not python/ of this tree.
"""

from __future__ import annotations

import copy
import gc
import json
import multiprocessing
import os
import pathlib
import pickle
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
if os.environ.get("VS_TEST_INSTALLED") != "1":
    sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, HERE)

import vantorel_screenshot as vs  # noqa: E402
from demo_windows import DemoWindows, build_path, mismatches  # noqa: E402
from pngcheck import Image, decode, decode_file  # noqa: E402

windows: DemoWindows


def setUpModule() -> None:
    global windows
    if not os.environ.get("DISPLAY"):
        raise unittest.SkipTest("no DISPLAY: run under the rig (scripts/test-stage-30-user.sh)")
    program = build_path("VS_DEMO_WINDOWS", "cli/vs-demo-windows")
    if program is None:
        raise unittest.SkipTest("vs-demo-windows not built")
    windows = DemoWindows(program)


def tearDownModule() -> None:
    if "windows" in globals():
        windows.stop()


def picture_image(picture: "vs.Picture") -> Image:
    """A Picture's pixels as pngcheck's rows, for the same comparisons."""
    data, stride = picture.rgba, 4 * picture.width
    return Image(picture.width, picture.height, [data[y * stride : (y + 1) * stride] for y in range(picture.height)])


def grab_in_worker(rect):
    """Runs in a worker process: its picture comes back to the parent by pickle."""
    return vs.grab(rect)


def bounding_box(listing):
    left = min(m["x"] for m in listing)
    top = min(m["y"] for m in listing)
    right = max(m["x"] + m["width"] for m in listing)
    bottom = max(m["y"] + m["height"] for m in listing)
    return left, top, right - left, bottom - top


class Captures(unittest.TestCase):
    def setUp(self) -> None:
        self.dir = tempfile.mkdtemp(prefix="vs-python-")

    def tearDown(self) -> None:
        shutil.rmtree(self.dir)

    def path(self, name: str) -> str:
        return os.path.join(self.dir, name)

    def test_version(self) -> None:
        self.assertEqual(vs.version(), "1.0.0")

    def test_monitors_are_the_rigs_two_outputs(self) -> None:
        listing = vs.monitors()
        self.assertEqual([m["index"] for m in listing], list(range(len(listing))))
        for monitor in listing:
            self.assertEqual(
                set(monitor), {"index", "name", "x", "y", "width", "height", "is_primary"}
            )
            self.assertIsInstance(monitor["name"], str)
        rects = sorted((m["x"], m["y"], m["width"], m["height"], m["is_primary"]) for m in listing)
        self.assertEqual(rects, [(0, 0, 1024, 768, False), (1024, 0, 1280, 800, True)])

    def test_grab_and_grab_png_show_each_window_pixel_for_pixel(self) -> None:
        for window in windows.windows.values():
            with self.subTest(window=window.name):
                rect = (window.x, window.y, window.width, window.height)
                image = decode(vs.grab_png(*rect))
                self.assertEqual((image.width, image.height), (window.width, window.height))
                self.assertEqual(mismatches(image, window), [])
                self.assertEqual(mismatches(picture_image(vs.grab(rect)), window), [])

    def test_save_window_matches_what_was_drawn(self) -> None:
        for window in windows.windows.values():
            with self.subTest(window=window.name):
                path = pathlib.Path(self.path(window.name + ".png"))
                vs.save_window(window.id, path)
                image = decode_file(str(path))
                self.assertEqual((image.width, image.height), (window.width, window.height))
                self.assertEqual(mismatches(image, window), [])

    def test_save_all_and_each_monitor(self) -> None:
        listing = vs.monitors()
        left, top, width, height = bounding_box(listing)
        vs.save_all(self.path("all.png"))
        screen = decode_file(self.path("all.png"))
        self.assertEqual((screen.width, screen.height), (width, height))
        for window in windows.windows.values():
            self.assertEqual(mismatches(screen, window, window.x - left, window.y - top), [])
        for monitor in listing:
            with self.subTest(monitor=monitor["index"]):
                path = self.path(f"monitor{monitor['index']}.png")
                vs.save_monitor(monitor["index"], path.encode())
                image = decode_file(path)
                self.assertEqual((image.width, image.height), (monitor["width"], monitor["height"]))
                # The monitor's pixels are the screen's at the monitor's place.
                dx, dy = monitor["x"] - left, monitor["y"] - top
                for y in (0, monitor["height"] // 2, monitor["height"] - 1):
                    self.assertEqual(image.rows[y], screen.rows[dy + y][4 * dx : 4 * (dx + monitor["width"])])

    def test_save_region_is_cut_to_the_screen(self) -> None:
        bars = windows.windows["bars"]
        # Reaches past the top-left corner of the screen: 20 pixels are cut off each side.
        vs.save_region(-20, -20, bars.x + 20 + bars.width, bars.y + 20 + bars.height, self.path("r.png"))
        image = decode_file(self.path("r.png"))
        self.assertEqual((image.width, image.height), (bars.x + bars.width, bars.y + bars.height))
        self.assertEqual(mismatches(image, bars, bars.x, bars.y), [])

    def test_failures_raise_the_librarys_message(self) -> None:
        left, top, width, height = bounding_box(vs.monitors())
        count = len(vs.monitors())
        missing = os.path.join(self.dir, "no-such-dir", "x.png")
        cases = [
            (lambda: vs.save_all(""), "output file is empty"),
            (lambda: vs.save_monitor(count, self.path("m.png")),
             f"monitor index {count} out of range (0..{count - 1})"),
            (lambda: vs.save_monitor(-1, self.path("m.png")),
             f"monitor index -1 out of range (0..{count - 1})"),
            (lambda: vs.grab_png(0, 0, 0, 5), "invalid region size 0x5"),
            (lambda: vs.grab((0, 0, 5, 0)), "invalid region size 5x0"),
            (lambda: vs.grab(count), f"monitor index {count} out of range (0..{count - 1})"),
            (lambda: vs.grab_png(left + width, 0, 10, 10),
             f"region ({left + width},0 10x10) is outside screen bounds "
             f"({left},{top} {width}x{height})"),
            (lambda: vs.save_region(0, 0, 10, 10, missing),
             f"PNG write failed for 10x10 frame to '{missing}' (No such file or directory)"),
            (lambda: vs.save_window(0, self.path("w.png")), "window handle is NULL"),
        ]
        for call, message in cases:
            with self.subTest(message=message):
                with self.assertRaises(vs.ScreenshotError) as caught:
                    call()
                self.assertEqual(caught.exception.message, message)
                # None of these carries a code, so there is nothing to add.
                self.assertEqual(
                    (caught.exception.code, caught.exception.reason, str(caught.exception)),
                    (None, None, message),
                )
        self.assertFalse(os.path.exists(missing))

    def test_grab_window_by_id_and_its_refusals(self) -> None:
        for window in windows.windows.values():
            for given in (hex(window.id), window.id):
                with self.subTest(window=window.name, given=given):
                    shot = vs.grab(window=given)
                    self.assertEqual(shot.size, (window.width, window.height))
                    self.assertEqual(mismatches(picture_image(shot), window), [])
        for what, call, error in (
            ("a bool", lambda: vs.grab(window=True), TypeError),
            ("a target and a window", lambda: vs.grab(0, window="0x1"), TypeError),
            ("a NUL in the id", lambda: vs.grab(window="0x1\0"), ValueError),
            ("an id X11 has no window for", lambda: vs.grab(window="wl:none"), vs.ScreenshotError),
        ):
            with self.subTest(what):
                with self.assertRaises(error):
                    call()
        self.assertIsInstance(vs.windows(), list)

    def test_window_that_does_not_exist(self) -> None:
        with self.assertRaises(vs.ScreenshotError) as caught:
            vs.save_window(0x7FFFFFF, self.path("w.png"))
        self.assertTrue(caught.exception.message)
        self.assertFalse(os.path.exists(self.path("w.png")))

    def test_arguments_outside_int_are_refused_before_the_call(self) -> None:
        with self.assertRaises(OverflowError):
            vs.grab_png(0, 0, 2**31, 10)
        with self.assertRaises(OverflowError):
            vs.save_window(-1, self.path("w.png"))
        with self.assertRaises(TypeError):
            vs.save_monitor(0.5, self.path("m.png"))  # type: ignore[arg-type]

    def test_messages_stay_with_their_call_across_threads(self) -> None:
        # Each thread fails with its own size; without the module's lock a
        # thread can read another's message from the process-wide buffer.
        wrong = []

        def worker(n: int) -> None:
            for _ in range(100):
                try:
                    vs.grab_png(0, 0, -n, 1)
                except vs.ScreenshotError as error:
                    if error.message != f"invalid region size {-n}x1":
                        wrong.append(error.message)
                try:
                    vs.grab((0, 0, 4, 4))
                except vs.ScreenshotError as error:
                    wrong.append(error.message)

        threads = [threading.Thread(target=worker, args=(n,)) for n in range(1, 9)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(wrong, [])


class Pictures(unittest.TestCase):
    """grab() and its Picture: the forms of target, the rectangle really
    captured, the pixels against the library's own PNG of that rectangle."""

    def test_each_form_of_target(self) -> None:
        listing = vs.monitors()
        left, top, width, height = bounding_box(listing)
        second = listing[1]
        rect_of = lambda m: (m["x"], m["y"], m["width"], m["height"])  # noqa: E731
        cases = [
            ("nothing: the whole screen", None, (left, top, width, height)),
            ("monitor index 0", 0, rect_of(listing[0])),
            ("monitor dict from monitors()", second, rect_of(second)),
            ("mss dict, cut at the top left",
             {"left": left - 20, "top": top - 10, "width": 100, "height": 60, "mon": 9},
             (left, top, 80, 50)),
            ("tuple, cut at the bottom right",
             (left + width - 54, top + height - 20, 100, 100),
             (left + width - 54, top + height - 20, 54, 20)),
            ("list inside", [1030, 5, 77, 33], (1030, 5, 77, 33)),
        ]
        for what, target, want in cases:
            with self.subTest(what):
                shot = vs.grab(target)
                self.assertIsInstance(shot, vs.Picture)
                self.assertEqual((shot.left, shot.top, shot.width, shot.height), want)
                self.assertEqual(shot.size, want[2:])
                png = decode(vs.grab_png(*want))
                self.assertEqual(shot.rgba, b"".join(png.rows))
                rgba = shot.rgba
                self.assertEqual(len(shot.rgb), len(rgba) // 4 * 3)
                for channel in range(3):
                    self.assertEqual(shot.rgb[channel::3], rgba[channel::4])

    def test_targets_it_does_not_take(self) -> None:
        count = len(vs.monitors())
        cases = [
            ("a string", "0,0,10,10", TypeError),
            ("three numbers", (0, 0, 10), TypeError),
            ("a dict without a size", {"left": 0, "top": 0}, TypeError),
            ("a dict without a corner", {"width": 5, "height": 5}, TypeError),
            ("a bool", True, TypeError),
            ("a float", 1.0, TypeError),
            ("a float in the tuple", (0, 0, 10.5, 10), TypeError),
            ("beyond int", (0, 0, 2**31, 1), OverflowError),
            ("index past the last", count, vs.ScreenshotError),
            ("index -1", -1, vs.ScreenshotError),
        ]
        for what, target, error in cases:
            with self.subTest(what):
                with self.assertRaises(error):
                    vs.grab(target)

    def test_save_by_extension(self) -> None:
        shot = vs.grab((1000, 100, 60, 40))
        with tempfile.TemporaryDirectory() as work:
            png = pathlib.Path(work, "shot.PNG")
            shot.save(png)
            self.assertEqual(b"".join(decode_file(str(png)).rows), shot.rgba)
            ppm = os.path.join(work, "shot.ppm").encode()
            shot.save(ppm)
            with open(ppm, "rb") as file:
                self.assertEqual(file.read(), b"P6\n60 40\n255\n" + shot.rgb)
            # The format by name, in any case, over the extension; the level.
            shot.save(os.path.join(work, "named"), format="PNG", level=9)
            self.assertEqual(b"".join(decode_file(os.path.join(work, "named")).rows), shot.rgba)
            refusals = [
                (("shot.gif",), {}, "unknown image format 'gif' (png, jpeg or ppm)"),
                (("shot.png.txt",), {}, "unknown image format 'txt' (png, jpeg or ppm)"),
                (("shot.png",), {"format": "bmp"}, "unknown image format 'bmp' (png, jpeg or ppm)"),
                (("shot",), {}, f"no image format: '{os.path.join(work, 'shot')}' has no extension (png, jpeg or ppm)"),
                (("shot.png",), {"level": 10}, "PNG level 10 out of range (0-9, or -1 for the default)"),
                (("shot.jpg",), {"level": 0}, "JPEG quality 0 out of range (1-100, or -1 for the default)"),
            ]
            for (name,), options, message in refusals:
                with self.subTest(name=name, options=options):
                    with self.assertRaises(ValueError) as caught:
                        shot.save(os.path.join(work, name), **options)
                    self.assertEqual(str(caught.exception), message)
            self.assertEqual(sorted(os.listdir(work)), ["named", "shot.PNG", "shot.ppm"])

    def test_pictures_own_their_pixels(self) -> None:
        # Copies, pickles and pictures returned by worker processes each hold
        # the pixels themselves: they outlive the picture they came from.
        rect = (1000, 100, 60, 40)
        want = vs.grab(rect).rgba
        makers = [
            ("copy.copy", copy.copy),
            ("copy.deepcopy", copy.deepcopy),
            ("pickle", lambda shot: pickle.loads(pickle.dumps(shot))),
        ]
        for what, make in makers:
            with self.subTest(what):
                shot = vs.grab(rect)
                other = make(shot)
                del shot
                gc.collect()
                vs.grab()  # the library's heap moves on
                self.assertEqual((other.left, other.top, other.size), (1000, 100, (60, 40)))
                self.assertEqual(other.rgba, want)
        for method in ("spawn", "fork"):
            with self.subTest(f"multiprocessing, {method}"):
                with multiprocessing.get_context(method).Pool(1) as pool:
                    # Bounded: a worker that cannot start would be restarted for ever.
                    returned = pool.apply_async(grab_in_worker, (rect,)).get(timeout=60)
                self.assertIsInstance(returned, vs.Picture)
                self.assertEqual((returned.left, returned.top, returned.size), (1000, 100, (60, 40)))
                self.assertEqual(returned.rgba, want)

    def test_geometry_is_read_only(self) -> None:
        shot = vs.grab((1000, 100, 60, 40))
        for name in ("left", "top", "width", "height", "size"):
            with self.subTest(name):
                with self.assertRaises(AttributeError):
                    setattr(shot, name, 4096)
        self.assertEqual((shot.width, shot.height, len(shot.rgba)), (60, 40, 60 * 40 * 4))
        with self.assertRaises(ValueError):
            vs.Picture(0, 0, 60, 40, b"\0" * 16)

    def test_pixels_go_back_when_the_picture_goes(self) -> None:
        def resident() -> int:
            with open("/proc/self/statm") as statm:
                return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

        vs.grab()
        before = resident()
        for _ in range(100):
            vs.grab().rgba  # 7 MB each
        self.assertLess(resident() - before, 100 << 20)

    def test_error_code_and_reason(self) -> None:
        # No display at all and a backend that does not exist: each call
        # fails with a Linux code, in a fresh interpreter of its own.
        code = """
import json, sys
sys.path[:0] = sys.argv[1:]
import vantorel_screenshot as vs
from vantorel_screenshot import _codes
try:
    vs.grab()
except vs.ScreenshotError as error:
    print(json.dumps([error.message, error.code, error.reason, str(error),
                      _codes.REASONS.get(error.code)]))
"""
        path = [] if os.environ.get("VS_TEST_INSTALLED") == "1" else [os.path.dirname(HERE)]
        bare = {k: v for k, v in os.environ.items()
                if k not in ("DISPLAY", "WAYLAND_DISPLAY", "VANTOREL_SCREENSHOT_BACKEND")}
        for what, env in (("no display", bare),
                          ("no such backend", dict(bare, DISPLAY=os.environ["DISPLAY"],
                                                   VANTOREL_SCREENSHOT_BACKEND="nonsense"))):
            with self.subTest(what):
                done = subprocess.run([sys.executable, "-c", code, *path], env=env,
                                      capture_output=True, text=True, timeout=60)
                self.assertEqual(done.returncode, 0, done.stderr)
                message, number, reason, text, table = json.loads(done.stdout)
                self.assertRegex(message, r" \(error \d+\)$")
                self.assertEqual(message.rsplit("(error ", 1)[1], f"{number})")
                self.assertTrue(reason)
                self.assertEqual(reason, table)
                self.assertEqual(text, f"{message}: {reason}")

    def test_only_our_names(self) -> None:
        self.assertEqual(dir(vs), sorted(vs.__all__ + ["__version__"]))
        for name in vs.__all__:
            self.assertTrue(hasattr(vs, name), name)
        with open(os.path.join(HERE, "..", "..", "pyproject.toml")) as pyproject:
            version = re.search(r'^version = "([^"]+)"', pyproject.read(), re.MULTILINE)
        self.assertIsNotNone(version)
        self.assertEqual(vs.__version__, version.group(1))  # type: ignore[union-attr]


class Loading(unittest.TestCase):
    """Where the library is looked for, each case in a fresh interpreter."""

    def run_python(self, code: str, env: dict, cwd: str) -> subprocess.CompletedProcess:
        return subprocess.run(
            [sys.executable, "-c", code], env=env, cwd=cwd, capture_output=True, text=True, timeout=60
        )

    def test_library_beside_the_package(self) -> None:
        library = os.path.realpath(vs.library_path())
        with tempfile.TemporaryDirectory() as work:
            package = os.path.join(work, "vantorel_screenshot")
            shutil.copytree(os.path.dirname(vs.__file__), package)
            shutil.copy(library, os.path.join(package, "libvantorel-screenshot.so.1"))
            # A manylinux wheel's library finds its copies of libxcb and
            # libpng in vantorel_screenshot.libs beside the package.
            bundled = os.path.join(os.path.dirname(os.path.dirname(vs.__file__)), "vantorel_screenshot.libs")
            if os.path.isdir(bundled):
                shutil.copytree(bundled, os.path.join(work, "vantorel_screenshot.libs"))
            env = {k: v for k, v in os.environ.items() if k not in ("VANTOREL_SCREENSHOT_LIBRARY", "LD_LIBRARY_PATH")}
            done = self.run_python(
                "import vantorel_screenshot as vs; print(vs.version(), vs.library_path())", env, work
            )
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual(
                done.stdout.split(), ["1.0.0", os.path.join(package, "libvantorel-screenshot.so.1")]
            )

    def test_environment_variable_wins_and_is_not_second_guessed(self) -> None:
        env = dict(os.environ, VANTOREL_SCREENSHOT_LIBRARY="/nonexistent/libvantorel-screenshot.so.1")
        done = self.run_python(
            "import vantorel_screenshot as vs; vs.version()", env, os.path.dirname(HERE)
        )
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("OSError", done.stderr)
        self.assertIn("/nonexistent/libvantorel-screenshot.so.1", done.stderr)


if __name__ == "__main__":
    unittest.main()
