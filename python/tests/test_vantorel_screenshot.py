"""The Python package against the real library on an X display (the rig).

VANTOREL_SCREENSHOT_LIBRARY names the library under test; the demo window
opener comes from $VS_DEMO_WINDOWS or the build directory. With
VS_TEST_INSTALLED=1 the package is the one the interpreter has installed
(pip), not python/ of this tree.
"""

from __future__ import annotations

import os
import pathlib
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
from pngcheck import decode, decode_file  # noqa: E402

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

    def test_grab_shows_each_window_pixel_for_pixel(self) -> None:
        for window in windows.windows.values():
            with self.subTest(window=window.name):
                image = decode(vs.grab(window.x, window.y, window.width, window.height))
                self.assertEqual((image.width, image.height), (window.width, window.height))
                self.assertEqual(mismatches(image, window), [])

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
            (lambda: vs.grab(0, 0, 0, 5), "invalid region size 0x5"),
            (lambda: vs.grab(left + width, 0, 10, 10),
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
                self.assertEqual(str(caught.exception), message)
        self.assertFalse(os.path.exists(missing))

    def test_window_that_does_not_exist(self) -> None:
        with self.assertRaises(vs.ScreenshotError) as caught:
            vs.save_window(0x7FFFFFF, self.path("w.png"))
        self.assertTrue(caught.exception.message)
        self.assertFalse(os.path.exists(self.path("w.png")))

    def test_arguments_outside_int_are_refused_before_the_call(self) -> None:
        with self.assertRaises(OverflowError):
            vs.grab(0, 0, 2**31, 10)
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
                    vs.grab(0, 0, -n, 1)
                except vs.ScreenshotError as error:
                    if error.message != f"invalid region size {-n}x1":
                        wrong.append(error.message)
                try:
                    vs.grab(0, 0, 4, 4)
                except vs.ScreenshotError as error:
                    wrong.append(error.message)

        threads = [threading.Thread(target=worker, args=(n,)) for n in range(1, 9)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(wrong, [])


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
