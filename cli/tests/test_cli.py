"""The command-line program against the real library on an X display (the rig).

The program comes from $VS_CLI or the build directory; the demo windows from
$VS_DEMO_WINDOWS or the build directory.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "python", "tests"))

from demo_windows import DemoWindows, build_path, mismatches  # noqa: E402
from pngcheck import decode, decode_file  # noqa: E402

PROGRAM = "vantorel-screenshot"
CLI = build_path("VS_CLI", "cli/vantorel-screenshot")
windows: DemoWindows


def setUpModule() -> None:
    global windows
    if CLI is None:
        raise unittest.SkipTest("vantorel-screenshot not built")
    if not os.environ.get("DISPLAY"):
        raise unittest.SkipTest("no DISPLAY: run under the rig (scripts/test-stage-30-user.sh)")
    program = build_path("VS_DEMO_WINDOWS", "cli/vs-demo-windows")
    if program is None:
        raise unittest.SkipTest("vs-demo-windows not built")
    windows = DemoWindows(program)


def tearDownModule() -> None:
    if "windows" in globals():
        windows.stop()


def run(*args: str, env=None) -> subprocess.CompletedProcess:
    return subprocess.run([CLI, *args], capture_output=True, timeout=60, env=env)


class Usage(unittest.TestCase):
    def test_bad_arguments_exit_2_with_usage_on_stderr(self) -> None:
        cases = [
            [],
            ["bogus"],
            ["all"],
            ["all", "a.png", "b.png"],
            ["monitor", "1"],
            ["monitor", "one", "m.png"],
            ["monitor", "1x", "m.png"],
            ["region", "1", "2", "3", "r.png"],
            ["region", "1", "2", "3", "4.5", "r.png"],
            ["region", "0", "0", "2147483648", "1", "r.png"],
            ["region", "", "0", "1", "1", "r.png"],
            ["window", "-1", "w.png"],
            ["window", "0x", "w.png"],
            ["window", "12z", "w.png"],
            ["window", "0x1ffffffffffffffff", "w.png"],
            ["window", "w.png"],
            ["monitors", "extra"],
            ["version", "extra"],
            ["--help", "extra"],
        ]
        for args in cases:
            with self.subTest(args=args):
                done = run(*args)
                self.assertEqual(done.returncode, 2)
                self.assertEqual(done.stdout, b"")
                lines = done.stderr.decode().splitlines()
                self.assertTrue(lines[0].startswith(PROGRAM + ": "), lines)
                self.assertIn("Usage: " + PROGRAM, done.stderr.decode())

    def test_help_goes_to_stdout(self) -> None:
        for flag in ("--help", "-h"):
            done = run(flag)
            self.assertEqual(done.returncode, 0)
            self.assertEqual(done.stderr, b"")
            text = done.stdout.decode()
            self.assertTrue(text.startswith("Usage: " + PROGRAM))
            for command in ("all FILE", "monitor N FILE", "region X Y W H FILE", "window ID FILE",
                            "monitors", "version", "'-'"):
                self.assertIn(command, text)

    def test_version(self) -> None:
        done = run("version")
        self.assertEqual((done.returncode, done.stdout, done.stderr), (0, b"1.0.0\n", b""))


class Captures(unittest.TestCase):
    def setUp(self) -> None:
        self.dir = tempfile.mkdtemp(prefix="vs-cli-")

    def tearDown(self) -> None:
        shutil.rmtree(self.dir)

    def path(self, name: str) -> str:
        return os.path.join(self.dir, name)

    def ok(self, *args: str) -> bytes:
        done = run(*args)
        self.assertEqual(done.returncode, 0, done.stderr.decode())
        self.assertEqual(done.stderr, b"")
        return done.stdout

    def listing(self):
        out = self.ok("monitors")
        self.assertTrue(out.endswith(b"\n"))
        self.assertEqual(out.count(b"\n"), 1)
        return json.loads(out)

    def test_monitors_prints_one_line_of_json(self) -> None:
        rects = sorted((m["x"], m["y"], m["width"], m["height"]) for m in self.listing())
        self.assertEqual(rects, [(0, 0, 1024, 768), (1024, 0, 1280, 800)])

    def test_file_and_stdout_give_the_same_image(self) -> None:
        # Every command both ways: the stdout path uses other exports (the
        # in-memory one, or a temporary file for windows), the pixels agree.
        bars, checker = windows.windows["bars"], windows.windows["checker"]
        commands = [["all"], ["region", "30", "30", "400", "300"], ["window", hex(checker.id)],
                    ["window", str(bars.id)]]
        commands += [["monitor", str(m["index"])] for m in self.listing()]
        for command in commands:
            with self.subTest(command=command):
                self.assertEqual(self.ok(*command, self.path("f.png")), b"")
                from_file = decode_file(self.path("f.png"))
                from_stdout = decode(self.ok(*command, "-"))
                self.assertEqual((from_stdout.width, from_stdout.height),
                                 (from_file.width, from_file.height))
                self.assertTrue(from_stdout.rows == from_file.rows)

    def test_captures_show_the_windows(self) -> None:
        listing = self.listing()
        left = min(m["x"] for m in listing)
        top = min(m["y"] for m in listing)
        screen = decode(self.ok("all", "-"))
        for window in windows.windows.values():
            with self.subTest(window=window.name):
                self.assertEqual(mismatches(screen, window, window.x - left, window.y - top), [])
                image = decode(self.ok("window", hex(window.id), "-"))
                self.assertEqual((image.width, image.height), (window.width, window.height))
                self.assertEqual(mismatches(image, window), [])
        for monitor in listing:
            image = decode(self.ok("monitor", str(monitor["index"]), "-"))
            self.assertEqual((image.width, image.height), (monitor["width"], monitor["height"]))

    def test_failures_exit_1_with_the_librarys_message(self) -> None:
        count = len(self.listing())
        missing = self.path("no-such-dir/x.png")
        cases = [
            (["all", ""], "output file is empty"),
            (["monitor", str(count), self.path("m.png")], f"monitor index {count} out of range (0..{count - 1})"),
            (["monitor", str(count), "-"], f"monitor index {count} out of range (0..{count - 1})"),
            (["monitor", "-1", "-"], f"monitor index -1 out of range (0..{count - 1})"),
            (["region", "0", "0", "0", "5", self.path("r.png")], "invalid region size 0x5"),
            (["region", "0", "0", "5", "-1", "-"], "invalid region size 5x-1"),
            (["region", "5000", "0", "10", "10", "-"],
             "region (5000,0 10x10) is outside screen bounds (0,0 2304x800)"),
            (["region", "0", "0", "10", "10", missing],
             f"PNG write failed for 10x10 frame to '{missing}' (No such file or directory)"),
            (["window", "0", self.path("w.png")], "window handle is NULL"),
            (["window", "0x0", "-"], "window handle is NULL"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                done = run(*args)
                self.assertEqual(done.returncode, 1)
                self.assertEqual(done.stdout, b"")
                self.assertEqual(done.stderr.decode(), f"{PROGRAM}: {message}\n")
        self.assertEqual(os.listdir(self.dir), [])

    def test_window_to_stdout_leaves_no_temporary_file(self) -> None:
        tmp = self.path("tmp")
        os.mkdir(tmp)
        env = dict(os.environ, TMPDIR=tmp)
        done = run("window", hex(windows.windows["frames"].id), "-", env=env)
        self.assertEqual(done.returncode, 0, done.stderr)
        decode(done.stdout)
        done = run("window", "0x7ffffff", "-", env=env)
        self.assertEqual(done.returncode, 1)
        self.assertEqual(done.stdout, b"")
        self.assertTrue(done.stderr.startswith(PROGRAM.encode() + b": "))
        self.assertEqual(os.listdir(tmp), [])


if __name__ == "__main__":
    unittest.main()
