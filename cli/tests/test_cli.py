"""The command-line program against the real library on an X display (the rig).

The program comes from $VS_CLI or the build directory; the demo windows from
$VS_DEMO_WINDOWS or the build directory. JPEG files are read back by Pillow
under Debian's Python (/usr/bin/python3), which has it.
"""

from __future__ import annotations

import json
import os
import re
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from typing import Dict, List, Optional, Tuple

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "python", "tests"))
sys.path.insert(0, os.path.join(ROOT, "scripts"))

from codes import codes  # noqa: E402
from demo_windows import DemoWindows, build_path, mismatches  # noqa: E402
from pngcheck import SIGNATURE, Image, colour_type, decode, decode_file  # noqa: E402

PROGRAM = "vantorel-screenshot"
CLI = build_path("VS_CLI", "cli/vantorel-screenshot")
DEBIAN_PYTHON = "/usr/bin/python3"
REASONS = {code: reason for code, _name, reason in codes()}
STAMPED = re.compile(r"^\d{4}-\d\d-\d\d-\d{6}_vantorel-screenshot(-\d+)?\.(png|jpg|ppm)$")
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


def run(*args: str, env=None, cwd=None, stdin: bytes = b"") -> subprocess.CompletedProcess:
    return subprocess.run([CLI, *args], capture_output=True, timeout=60, env=env, cwd=cwd, input=stdin)


def rgb_rows(image: Image) -> bytes:
    """The PNG's pixels without alpha, as a PPM or a JPEG holds them."""
    return b"".join(bytes(b for i, b in enumerate(row) if i % 4 != 3) for row in image.rows)


def read_ppm(data: bytes) -> Tuple[int, int, bytes]:
    match = re.match(rb"P6\n(\d+) (\d+)\n255\n", data)
    assert match, data[:20]
    width, height = int(match.group(1)), int(match.group(2))
    pixels = data[match.end():]
    assert len(pixels) == width * height * 3, (len(pixels), width, height)
    return width, height, pixels


def read_jpeg(data: bytes) -> Tuple[int, int, bytes]:
    """Decoded by Pillow: size and RGB pixels."""
    with tempfile.NamedTemporaryFile(suffix=".jpg") as file:
        file.write(data)
        file.flush()
        script = ("import sys; from PIL import Image; im = Image.open(sys.argv[1]); "
                  "assert im.format == 'JPEG', im.format; im = im.convert('RGB'); "
                  "sys.stdout.buffer.write(b'%d %d\\n' % im.size + im.tobytes())")
        done = subprocess.run([DEBIAN_PYTHON, "-c", script, file.name], capture_output=True, timeout=60)
    assert done.returncode == 0, done.stderr.decode()
    header, pixels = done.stdout.split(b"\n", 1)
    width, height = map(int, header.split())
    return width, height, pixels


def mean_difference(a: bytes, b: bytes) -> float:
    return sum(abs(x - y) for x, y in zip(a, b)) / len(a)


def image_kind(data: bytes) -> str:
    if data.startswith(SIGNATURE):
        return "png"
    if data.startswith(b"\xff\xd8\xff"):
        return "jpeg"
    if data.startswith(b"P6\n"):
        return "ppm"
    return "unknown"


def check_image(case: unittest.TestCase, data: bytes, kind: str, expected: Image) -> None:
    """data is an image of kind holding expected's pixels: exactly for PNG and
    PPM, closely for JPEG."""
    case.assertEqual(image_kind(data), kind)
    if kind == "png":
        image = decode(data)
        case.assertEqual((image.width, image.height), (expected.width, expected.height))
        case.assertTrue(image.rows == expected.rows)
        return
    width, height, pixels = read_ppm(data) if kind == "ppm" else read_jpeg(data)
    case.assertEqual((width, height), (expected.width, expected.height))
    if kind == "ppm":
        case.assertTrue(pixels == rgb_rows(expected))
    else:
        # Hard colour edges everywhere on the rig; a JPEG of another picture
        # is off by far more.
        case.assertLess(mean_difference(pixels, rgb_rows(expected)), 6.0)


class Usage(unittest.TestCase):
    def setUp(self) -> None:
        self.dir = tempfile.mkdtemp(prefix="vs-cli-usage-")
        self.addCleanup(shutil.rmtree, self.dir)

    def test_bad_arguments_exit_2_with_usage_and_write_nothing(self) -> None:
        cases = [
            ["bogus"],
            ["all", "a.png", "b.png"],
            ["a.png", "b.png"],
            ["monitor"],
            ["monitor", "one", "m.png"],
            ["monitor", "1x", "m.png"],
            ["region", "1", "2", "3"],
            ["region", "1", "2", "3", "r.png"],
            ["region", "1", "2", "3", "4.5", "r.png"],
            ["region", "0", "0", "2147483648", "1", "r.png"],
            ["region", "", "0", "1", "1", "r.png"],
            ["window", "-1", "w.png"],
            ["window", "0x", "w.png"],
            ["window", "12z", "w.png"],
            ["window", "0x1ffffffffffffffff", "w.png"],
            ["monitors", "extra"],
            ["version", "extra"],
            ["--help", "extra"],
            ["--version", "extra"],
            ["a.png", "--help"],
            ["--bogus", "a.png"],
            # The format: never one under another's name.
            ["shot.bmp"],
            ["shot.png.part"],
            ["all", "shot.gif"],
            ["-t", "gif", "a.png"],
            ["-t", "jpeg", "a.png"],
            ["-t", "png", "a.ppm"],
            ["-t"],
            ["-q", "90", "a.png"],
            ["-q", "90", "-"],
            ["-q", "0", "a.jpg"],
            ["-q", "101", "a.jpg"],
            ["-q", "high", "a.jpg"],
            ["-l", "10", "a.png"],
            ["-l", "-1", "a.png"],
            ["-l", "fast", "a.png"],
            ["-l", "5", "a.jpg"],
            ["-l"],
            ["-d", "-1", "a.png"],
            ["-d", "soon", "a.png"],
            ["-d", "nan", "a.png"],
            ["-d", "0x10", "a.png"],
            ["-d", "86401", "a.png"],
            ["-d"],
            # Geometry in neither form, and choosers that clash.
            ["-g", "10,20", "a.png"],
            ["-g", "300x200", "a.png"],
            ["-g", "300x200+10", "a.png"],
            ["-g", "10,20 300x", "a.png"],
            ["-g", "10,20 -300x200", "a.png"],
            ["-g", "-300x200+0+0", "a.png"],
            ["-g", " -300x200+0+0", "a.png"],
            ["-g", "10,20 300x200 junk", "a.png"],
            ["-g", "10,20 99999999999x1", "a.png"],
            ["-g"],
            ["-o"],
            ["-o", "", "a.png"],
            ["-u=yes", "a.png"],
            ["-cx", "a.png"],
            ["--cursor=yes", "a.png"],
            ["-g", "1,2 3x4", "-o", "0", "a.png"],
            ["-u", "-o", "primary", "a.png"],
            ["-u", "region", "0", "0", "1", "1", "a.png"],
            ["-o", "0", "all", "a.png"],
            ["monitor", "\x1b[2J", "a.png"],
        ]
        for args in cases:
            with self.subTest(args=args):
                done = run(*args, cwd=self.dir)
                written = take_files(self.dir)
                self.assertEqual(done.returncode, 2, done.stderr.decode())
                self.assertEqual(done.stdout, b"")
                lines = done.stderr.decode().splitlines()
                self.assertTrue(lines[0].startswith(PROGRAM + ": "), lines)
                self.assertIn("Usage: " + PROGRAM, done.stderr.decode())
                self.assertEqual(written, [])

    def test_an_unknown_format_gets_the_librarys_words(self) -> None:
        # The same refusal as screenshot_save's and Picture.save's.
        for args, name in ((["shot.bmp"], "bmp"), (["all", "x.GIF"], "GIF"), (["-t", "tiff", "-"], "tiff"),
                           (["shot.png.part"], "part")):
            with self.subTest(args=args):
                done = run(*args, cwd=self.dir)
                self.assertEqual(done.returncode, 2)
                self.assertEqual(done.stderr.decode().splitlines()[0],
                                 f"{PROGRAM}: unknown image format '{name}' (png, jpeg or ppm)")

    def test_geometry_from_standard_input_must_be_there(self) -> None:
        for stdin in (b"", b"\n", b"nonsense\n", b"1,2 3x4" * 100,
                      # One line and the end of the input: nothing hides behind a NUL or after it.
                      b"10,10 20x20\0garbage", b"10,10 20x20\ngarbage", b"10,10 20x20\n\n",
                      b"10,10 20x20" + b" " * 300 + b"\n"):
            with self.subTest(stdin=stdin[:20]):
                done = run("-g", "-", "a.png", cwd=self.dir, stdin=stdin)
                self.assertEqual(done.returncode, 2, done.stderr.decode())
                self.assertEqual(os.listdir(self.dir), [])

    def test_refused_input_is_shown_with_control_characters_escaped(self) -> None:
        cases = [
            (["-g", "-", "a.png"], b"\x1b[31mred\x07\n", "'\\x1b[31mred\\x07'"),
            (["-g", "1,2\t\r3x4\x1b]0;title\x07", "a.png"], b"", "'1,2\\t\\r3x4\\x1b]0;title\\x07'"),
            (["--bogus\x9b\u00e9", "a.png"], b"", "'--bogus\\xc2\\x9b\u00e9'"),
            (["monitor", "1\\n", "a.png"], b"", "'1\\\\n'"),
        ]
        for args, stdin, shown in cases:
            with self.subTest(args=args):
                done = run(*args, cwd=self.dir, stdin=stdin)
                self.assertEqual(done.returncode, 2, done.stderr.decode())
                first = done.stderr.decode().splitlines()[0]
                self.assertTrue(first.endswith(shown), first)
                self.assertFalse(any(c < " " for c in first), first)

    def test_output_that_cannot_be_written_exits_1(self) -> None:
        for args in (["version"], ["--version"], ["--help"], ["-h"], ["monitors"]):
            with self.subTest(args=args):
                with open("/dev/full", "wb") as full:
                    done = subprocess.run([CLI, *args], stdout=full, stderr=subprocess.PIPE, timeout=60)
                self.assertEqual(done.returncode, 1)
                self.assertEqual(done.stderr.decode(),
                                 f"{PROGRAM}: writing to standard output: No space left on device\n")

    def test_help_names_every_option_and_the_exit_statuses(self) -> None:
        for flag in ("--help", "-h"):
            done = run(flag)
            self.assertEqual(done.returncode, 0)
            self.assertEqual(done.stderr, b"")
            text = done.stdout.decode()
            self.assertTrue(text.startswith("Usage: " + PROGRAM))
            for word in ("all [FILE]", "monitor N [FILE]", "region X Y W H [FILE]", "window ID|TITLE [FILE]",
                         "windows [--table]",
                         "focused [FILE]", "monitors", "version", "'-'", "-g, --geometry", "-o, --output",
                         "-u, --focused", "-c, --cursor", "-d, --delay", "-t, --type", "-l, --level",
                         "-q, --quality", "-h, --help", "--version", "XDG_PICTURES_DIR", "~/Pictures",
                         "0 on success", "1 when", "2 on bad arguments"):
                self.assertIn(word, text)

    def test_version(self) -> None:
        for word in ("version", "--version"):
            done = run(word)
            self.assertEqual((done.returncode, done.stdout, done.stderr), (0, b"1.0.0\n", b""))

    def test_a_plain_build_has_no_tests_benchmarks_or_fuzzers(self) -> None:
        # What a newcomer types: cmake -S . -B build && cmake --build build.
        build = os.path.join(self.dir, "plain")
        done = subprocess.run(["cmake", "-S", ROOT, "-B", build], capture_output=True, text=True, timeout=300)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        targets = subprocess.run(["cmake", "--build", build, "--target", "help"], capture_output=True,
                                 text=True, timeout=60, check=True).stdout
        names = re.findall(r"^\.\.\. (\S+)", targets, re.MULTILINE)
        self.assertIn("vantorel-screenshot", names)
        self.assertIn("vantorel-screenshot-cli", names)
        built_by_default = [n for n in names if re.search(r"_tests?$|bench|fuzz", n)]
        self.assertEqual(built_by_default, [])


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
        # Every command both ways: the same encoder, so the same bytes, and
        # the pixels the capture shows.
        bars, checker = windows.windows["bars"], windows.windows["checker"]
        commands = [["all"], ["region", "30", "30", "400", "300"], ["window", hex(checker.id)],
                    ["window", str(bars.id)]]
        commands += [["monitor", str(m["index"])] for m in self.listing()]
        for command in commands:
            with self.subTest(command=command):
                self.assertEqual(self.ok(*command, self.path("f.png")), b"")
                with open(self.path("f.png"), "rb") as file:
                    from_file = file.read()
                self.assertEqual(self.ok(*command, "-"), from_file)
                # Opaque pixels: no fourth byte each; a palette when 256
                # colours or fewer, else RGB.
                image = decode(from_file)
                colours = {row[i:i + 3] for row in image.rows for i in range(0, len(row), 4)}
                self.assertEqual(colour_type(from_file), 3 if len(colours) <= 256 else 2)

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
            (["window", "0", self.path("w.png")], "no window has the id '0x0'"),
            (["window", "0x0", "-"], "no window has the id '0x0'"),
            # Text that is no number names a window by id or title.
            (["window", "w.png"], f"no window has the id or the title 'w.png' (see '{PROGRAM} windows')"),
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


def clean_env(**changes: Optional[str]) -> Dict[str, str]:
    """This environment with changes; None removes a variable."""
    env = dict(os.environ)
    for name, value in changes.items():
        if value is None:
            env.pop(name, None)
        else:
            env[name] = value
    return env


class Forms(unittest.TestCase):
    """Each way of saying what to capture and where to put it, against the
    same capture by the long-standing commands."""

    @classmethod
    def setUpClass(cls) -> None:
        cls.dir = tempfile.mkdtemp(prefix="vs-cli-forms-")
        cls.listing = json.loads(run("monitors").stdout)
        cls.references: Dict[Tuple[str, ...], Image] = {}

    @classmethod
    def tearDownClass(cls) -> None:
        shutil.rmtree(cls.dir)

    def reference(self, *command: str) -> Image:
        if command not in self.references:
            done = run(*command, "-")
            self.assertEqual(done.returncode, 0, done.stderr.decode())
            self.references[command] = decode(done.stdout)
        return self.references[command]

    def capture(self, args: List[str], stdin: bytes = b"") -> bytes:
        done = run(*args, cwd=self.dir, stdin=stdin)
        self.assertEqual(done.returncode, 0, done.stderr.decode())
        self.assertEqual(done.stderr, b"")
        if "-" in args[-1:]:
            return done.stdout
        self.assertEqual(done.stdout, b"")
        path = os.path.join(self.dir, args[-1])
        with open(path, "rb") as file:
            data = file.read()
        os.remove(path)
        return data

    def test_each_form_captures_what_it_says(self) -> None:
        region = ("region", "10", "20", "300", "200")
        primary = next(m["index"] for m in self.listing if m["is_primary"])
        forms: List[Tuple[List[str], bytes, Tuple[str, ...]]] = [
            ([], b"", ("all",)),
            (["all"], b"", ("all",)),
            (["-d", "0.2"], b"", ("all",)),
            (["-g", "10,20 300x200"], b"", region),
            (["-g", "300x200+10+20"], b"", region),
            (["--geometry=10,20 300x200"], b"", region),
            (["-g", "-"], b"10,20 300x200\n", region),
            (["-g", "-"], b"300x200+10+20", region),
            (["-g", "-10,-5 300x200"], b"", ("region", "-10", "-5", "300", "200")),
            (["-g", "300x200-10-5"], b"", ("region", "-10", "-5", "300", "200")),
            (["region", "-10", "-5", "300", "200"], b"", ("region", "-10", "-5", "300", "200")),
            (["-o", "primary"], b"", ("monitor", str(primary))),
            (["--output", "primary"], b"", ("monitor", str(primary))),
        ]
        for monitor in self.listing:
            forms.append((["-o", monitor["name"]], b"", ("monitor", str(monitor["index"]))))
            forms.append((["-o", str(monitor["index"])], b"", ("monitor", str(monitor["index"]))))
        for args, stdin, reference in forms:
            expected = self.reference(*reference)
            for output in ("f.png", "-"):
                with self.subTest(args=args, stdin=stdin, output=output):
                    check_image(self, self.capture(args + [output], stdin), "png", expected)
        # The file first, the options after it.
        for args, reference in ((["f.png", "-g", "10,20 300x200"], region),
                                (["f.png", "-o", "primary"], ("monitor", str(primary))),
                                (["f.jpg", "-q", "70"], ("all",))):
            with self.subTest(args=args):
                done = run(*args, cwd=self.dir)
                self.assertEqual(done.returncode, 0, done.stderr.decode())
                with open(os.path.join(self.dir, args[0]), "rb") as file:
                    check_image(self, file.read(), "jpeg" if args[0].endswith(".jpg") else "png",
                                self.reference(*reference))
                os.remove(os.path.join(self.dir, args[0]))

    def test_with_the_pointer_every_form_and_format_works(self) -> None:
        # The pointer goes to the screen's far corner, away from what is
        # captured here; the pictures are then the ones without it.
        right = max(m["x"] + m["width"] for m in self.listing)
        bottom = max(m["y"] + m["height"] for m in self.listing)
        subprocess.run(["/usr/bin/python3", os.path.join(ROOT, "tests", "x11", "pointer_check.py"), "warp",
                        str(right - 1), str(bottom - 1)], check=True)
        bars = windows.windows["bars"]
        targets: List[Tuple[List[str], Tuple[str, ...]]] = [
            (["-g", "0,0 700x300"], ("region", "0", "0", "700", "300")),
            (["window", hex(bars.id)], ("window", hex(bars.id))),
        ]
        outputs = [(["f.png"], "png"), (["-"], "png"), (["f.jpg"], "jpeg"), (["-t", "ppm", "-"], "ppm")]
        for target, reference in targets:
            expected = self.reference(*reference)
            for output, kind in outputs:
                for flag in ("-c", "--cursor"):
                    with self.subTest(target=target, output=output, flag=flag):
                        check_image(self, self.capture([flag] + target + output), kind, expected)

    def test_the_delay_comes_first(self) -> None:
        start = time.monotonic()
        self.capture(["-d", "0.6", "-g", "0,0 8x8", "-"])
        self.assertGreaterEqual(time.monotonic() - start, 0.6)

    def test_formats_are_what_the_name_or_type_says(self) -> None:
        bars = windows.windows["bars"]
        targets: List[Tuple[List[str], Tuple[str, ...]]] = [
            (["-g", "0,0 700x300"], ("region", "0", "0", "700", "300")),
            (["-o", "1"], ("monitor", "1")),
            (["window", hex(bars.id)], ("window", hex(bars.id))),
        ]
        outputs = [
            (["f.png"], "png"), (["f.jpg"], "jpeg"), (["f.jpeg"], "jpeg"), (["F.JPG"], "jpeg"),
            (["f.ppm"], "ppm"), (["-"], "png"), (["-t", "png", "-"], "png"), (["-t", "jpeg", "-"], "jpeg"),
            (["-t", "jpg", "-q", "80", "-"], "jpeg"), (["-t", "ppm", "-"], "ppm"), (["-t", "ppm", "f"], "ppm"),
            (["--type=jpeg", "f.jpg"], "jpeg"), (["-q", "50", "f.jpg"], "jpeg"),
            (["-t", "PNG", "-"], "png"), (["-t", "Jpeg", "-"], "jpeg"), (["f.Ppm"], "ppm"),
            (["-l", "0", "f.png"], "png"), (["-l", "9", "-"], "png"), (["--level=1", "f.PNG"], "png"),
        ]
        for target, reference in targets:
            expected = self.reference(*reference)
            for output, kind in outputs:
                with self.subTest(target=target, output=output):
                    check_image(self, self.capture(target + output), kind, expected)
        # After a command a name without extension is PNG, as it always was.
        check_image(self, self.capture(["all", "plain"]), "png", self.reference("all"))

    def test_jpeg_quality(self) -> None:
        sizes = {}
        for quality in ("5", "90", "100"):
            sizes[quality] = len(self.capture(["-g", "0,0 700x300", "-q", quality, "-t", "jpeg", "-"]))
        self.assertLess(sizes["5"], sizes["90"])
        self.assertLess(sizes["90"], sizes["100"])
        default = self.capture(["-g", "0,0 700x300", "-t", "jpeg", "-"])
        self.assertEqual(len(default), sizes["90"])

    def test_png_level(self) -> None:
        region = ["-g", "0,0 700x300"]
        sizes = {level: len(self.capture(region + ["-l", level, "-"])) for level in ("0", "1", "6", "9")}
        # Level 0 stores the rows: a filter byte and a byte a pixel (the
        # rig's windows have few colours, so a palette).
        self.assertGreater(sizes["0"], 700 * 300)
        self.assertLess(sizes["1"], sizes["0"] // 4)
        self.assertLessEqual(sizes["6"], sizes["1"])
        self.assertLessEqual(sizes["9"], sizes["6"])
        self.assertEqual(self.capture(region + ["-"]), self.capture(region + ["-l", "7", "-"]))


class TimestampedFiles(unittest.TestCase):
    """No FILE: a new file named after the time, in the pictures directory."""

    def setUp(self) -> None:
        self.dir = tempfile.mkdtemp(prefix="vs-cli-stamp-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.home = os.path.join(self.dir, "home")
        self.cwd = os.path.join(self.dir, "cwd")
        self.pictures = os.path.join(self.home, "Pictures and more")
        for d in (self.home, self.cwd, self.pictures):
            os.makedirs(d)

    def env(self, **changes: Optional[str]) -> Dict[str, str]:
        base = dict(HOME=self.home, XDG_CONFIG_HOME=None, XDG_PICTURES_DIR=None)
        base.update(changes)
        return clean_env(**base)

    def user_dirs(self, config: str, value: str) -> None:
        os.makedirs(config, exist_ok=True)
        with open(os.path.join(config, "user-dirs.dirs"), "w") as file:
            file.write('# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR="$HOME/Desktop"\n')
            file.write(f'XDG_PICTURES_DIR="{value}"\n')

    def stamped(self, *args: str, env: Dict[str, str]) -> str:
        done = run(*args, cwd=self.cwd, env=env)
        self.assertEqual(done.returncode, 0, done.stderr.decode())
        self.assertEqual(done.stderr, b"")
        printed = done.stdout.decode()
        self.assertTrue(printed.endswith("\n") and printed.count("\n") == 1, printed)
        path = printed[:-1]
        self.assertRegex(os.path.basename(path), STAMPED)
        return os.path.join(self.cwd, path)

    def test_where_the_picture_goes(self) -> None:
        config = os.path.join(self.dir, "config")
        home_pictures = os.path.join(self.home, "Pictures")
        cases = [
            ("no user-dirs.dirs", lambda: None, {}, self.cwd),
            ("$XDG_CONFIG_HOME/user-dirs.dirs", lambda: self.user_dirs(config, "$HOME/Pictures and more"),
             {"XDG_CONFIG_HOME": config}, self.pictures),
            ("~/.config/user-dirs.dirs", lambda: self.user_dirs(os.path.join(self.home, ".config"), self.pictures),
             {}, self.pictures),
            ("a pictures directory that is not there", lambda: self.user_dirs(config, "$HOME/Gone"),
             {"XDG_CONFIG_HOME": config}, self.cwd),
            ("$XDG_PICTURES_DIR", lambda: None, {"XDG_PICTURES_DIR": self.pictures}, self.pictures),
            ("~/Pictures", lambda: os.makedirs(home_pictures), {}, home_pictures),
            ("a pictures directory that is not there, then ~/Pictures",
             lambda: (os.makedirs(home_pictures), self.user_dirs(config, "$HOME/Gone")),
             {"XDG_CONFIG_HOME": config}, home_pictures),
            ("user-dirs.dirs before ~/Pictures",
             lambda: (os.makedirs(home_pictures), self.user_dirs(config, "$HOME/Pictures and more")),
             {"XDG_CONFIG_HOME": config}, self.pictures),
        ]
        for name, prepare, changes, where in cases:
            with self.subTest(name):
                prepare()
                path = self.stamped(env=self.env(**changes))
                self.assertEqual(os.path.dirname(os.path.realpath(path)), os.path.realpath(where))
                self.assertTrue(path.endswith(".png"))
                decode_file(path)
                os.remove(path)
                shutil.rmtree(config, ignore_errors=True)
                shutil.rmtree(os.path.join(self.home, ".config"), ignore_errors=True)
                shutil.rmtree(home_pictures, ignore_errors=True)

    def test_the_type_gives_the_extension(self) -> None:
        for args, extension, kind in ((["-t", "jpeg"], ".jpg", "jpeg"), (["-t", "ppm", "-g", "0,0 9x7"], ".ppm", "ppm"),
                                      (["-o", "0"], ".png", "png")):
            with self.subTest(args=args):
                path = self.stamped(*args, env=self.env())
                self.assertTrue(path.endswith(extension), path)
                with open(path, "rb") as file:
                    self.assertEqual(image_kind(file.read()), kind)
                os.remove(path)

    def test_a_taken_name_is_never_overwritten(self) -> None:
        # The names of this second and the next few, taken: the program must
        # pick another and leave these alone.
        now = time.time()
        taken = [time.strftime("%Y-%m-%d-%H%M%S", time.localtime(now + s)) + "_vantorel-screenshot.png"
                 for s in range(-1, 5)]
        for name in taken:
            with open(os.path.join(self.cwd, name), "wb") as file:
                file.write(b"keep")
        path = self.stamped("-g", "0,0 10x10", env=self.env())
        self.assertRegex(os.path.basename(path), r"-2\.png$")
        self.assertEqual(decode_file(path).width, 10)
        for name in taken:
            with open(os.path.join(self.cwd, name), "rb") as file:
                self.assertEqual(file.read(), b"keep")

    def test_a_failed_capture_leaves_no_file(self) -> None:
        for args in (["-g", "5000,0 10x10"], ["-t", "ppm", "-g", "5000,0 10x10"], ["window", "0x7ffffff"]):
            with self.subTest(args=args):
                done = run(*args, cwd=self.cwd, env=self.env())
                self.assertEqual(take_files(self.cwd), [])
                self.assertEqual(done.returncode, 1)
                self.assertEqual(done.stdout, b"")
        # The picture is written but its path cannot be told: it goes too.
        with open("/dev/full", "wb") as full:
            done = subprocess.run([CLI, "-g", "0,0 10x10"], cwd=self.cwd, env=self.env(), stdout=full,
                                  stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(done.returncode, 1, done.stderr.decode())
        self.assertEqual(take_files(self.cwd), [])

    def test_a_signal_while_the_capture_waits_leaves_no_file(self) -> None:
        # A server that accepts and never answers: the capture waits, and
        # SIGINT, SIGTERM or SIGHUP end it with its reserved file removed.
        number = 4300
        while os.path.exists(f"/tmp/.X11-unix/X{number}") or os.path.exists(f"/tmp/.X{number}-lock"):
            number += 1
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(f"\0/tmp/.X11-unix/X{number}")
        listener.listen(16)
        self.addCleanup(listener.close)
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                child = subprocess.Popen([CLI], cwd=self.cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                         env=self.env(DISPLAY=f":{number}", VANTOREL_SCREENSHOT_BACKEND="x11"),
                                         preexec_fn=default_signals)
                deadline = time.monotonic() + 3
                while not os.listdir(self.cwd) and time.monotonic() < deadline:
                    time.sleep(0.01)
                self.assertEqual(len(os.listdir(self.cwd)), 1, "no file reserved")
                time.sleep(0.2)  # inside the library's wait
                child.send_signal(sig)
                child.communicate(timeout=30)
                self.assertEqual(child.returncode, -sig)
                self.assertEqual(os.listdir(self.cwd), [])



def default_signals() -> None:
    """A preexec_fn: SIGINT, SIGTERM and SIGHUP at their defaults in the child.
    A shell starts a background job with SIGINT ignored and nohup ignores
    SIGHUP; the program rightly keeps an ignored signal ignored, so the test
    gives it what a program started from a terminal has."""
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, signal.SIG_DFL)


def limit_file_size(size: int):
    """A preexec_fn: files of the child can grow to size bytes, and a write
    past that fails with EFBIG rather than ending it."""

    def limit() -> None:
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))

    return limit


class WritingOverAFile(unittest.TestCase):
    """JPEG and PPM written over a file keep its old contents when the new
    ones do not fit, as the library's PNG files do."""

    def setUp(self) -> None:
        self.dir = tempfile.mkdtemp(prefix="vs-cli-over-")
        self.addCleanup(shutil.rmtree, self.dir)

    def run_limited(self, *args: str, size: int = 8192) -> subprocess.CompletedProcess:
        return subprocess.run([CLI, *args], capture_output=True, timeout=60, cwd=self.dir,
                              preexec_fn=limit_file_size(size))

    def test_no_room_keeps_the_old_file(self) -> None:
        old = bytes((i * 7 + i // 251) & 0xFF for i in range(1000))
        region = ["-g", "0,0 700x300"]
        for name, flags, kind in (("shot.ppm", [], "PPM"), ("shot.jpg", ["-q", "100"], "JPEG")):
            with self.subTest(name=name):
                path = os.path.join(self.dir, name)
                with open(path, "wb") as file:
                    file.write(old)
                # Room for the old file, not for the new one.
                size = len(run(*region, *flags, "-t", kind.lower(), "-").stdout)
                self.assertGreater(size, len(old))
                done = self.run_limited(*region, *flags, name, size=size - 1)
                self.assertEqual(done.returncode, 1)
                self.assertEqual(done.stderr.decode(),
                                 f"{PROGRAM}: {kind} write failed for 700x300 frame to '{name}' (File too large)\n")
                with open(path, "rb") as file:
                    self.assertEqual(file.read(), old)
                # A new file that does not fit is not left behind.
                done = self.run_limited(*region, *flags, "new-" + name, size=size - 1)
                self.assertEqual(done.returncode, 1)
                self.assertFalse(os.path.exists(os.path.join(self.dir, "new-" + name)))
                # A smaller picture fits in the old one's room, and replaces it whole.
                done = self.run_limited("-g", "0,0 4x3", name, size=len(old))
                self.assertEqual(done.returncode, 0, done.stderr.decode())
                with open(path, "rb") as file:
                    data = file.read()
                self.assertEqual(image_kind(data), kind.lower())
                self.assertEqual((read_ppm(data) if kind == "PPM" else read_jpeg(data))[:2], (4, 3))

    def test_a_full_device(self) -> None:
        done = run("-g", "0,0 4x3", "-t", "ppm", "/dev/full")
        self.assertEqual(done.returncode, 1)
        self.assertEqual(done.stderr.decode(),
                         f"{PROGRAM}: PPM write failed for 4x3 frame to '/dev/full' (No space left on device)\n")
        self.assertTrue(os.path.exists("/dev/full"))


def take_files(directory: str) -> List[str]:
    """The names in directory, which is then emptied (so that one case's
    leftovers do not fail the next)."""
    names = sorted(os.listdir(directory))
    for name in names:
        os.remove(os.path.join(directory, name))
    return names


def set_active_window(value: Optional[int]) -> None:
    """_NET_ACTIVE_WINDOW on the root window, as a window manager keeps it
    (the rig has none); None removes it."""
    if value is None:
        command = ["xprop", "-root", "-remove", "_NET_ACTIVE_WINDOW"]
    else:
        command = ["xprop", "-root", "-f", "_NET_ACTIVE_WINDOW", "32x", "-set", "_NET_ACTIVE_WINDOW", hex(value)]
    subprocess.run(command, check=True, timeout=30)


class FocusedWindow(unittest.TestCase):
    def setUp(self) -> None:
        self.dir = tempfile.mkdtemp(prefix="vs-cli-focus-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.addCleanup(set_active_window, None)

    def test_the_active_window_is_captured(self) -> None:
        for name in ("bars", "checker"):
            window = windows.windows[name]
            set_active_window(window.id)
            expected = decode(run("window", hex(window.id), "-").stdout)
            self.assertEqual(mismatches(expected, window), [])
            for args, kind in ((["-u", "-"], "png"), (["--focused", "-"], "png"), (["focused", "-"], "png"),
                               (["-u", "-t", "ppm", "-"], "ppm"), (["focused", "f.jpg"], "jpeg")):
                with self.subTest(window=name, args=args):
                    done = run(*args, cwd=self.dir)
                    self.assertEqual(done.returncode, 0, done.stderr.decode())
                    data = done.stdout
                    if args[-1] != "-":
                        with open(os.path.join(self.dir, args[-1]), "rb") as file:
                            data = file.read()
                    check_image(self, data, kind, expected)

    def test_without_a_focused_window_exit_1_with_why(self) -> None:
        gone = 0x7FFFFFF
        cases = [
            (None, {}, "no focused window: no window manager sets _NET_ACTIVE_WINDOW"),
            (0, {}, "no focused window: the window manager says no window has the focus"),
            (gone, {}, f"{REASONS[3]} (GetWindowRect failed, error 3)"),
            (windows.windows["bars"].id, {"WAYLAND_DISPLAY": "wayland-1"}, "no focused window on Wayland"),
            (windows.windows["bars"].id, {"VANTOREL_SCREENSHOT_BACKEND": "wayland", "WAYLAND_DISPLAY": None},
             "no focused window on Wayland"),
        ]
        for value, changes, message in cases:
            with self.subTest(value=value, changes=changes):
                set_active_window(value)
                done = run("-u", "f.png", cwd=self.dir, env=clean_env(**changes))
                self.assertEqual(take_files(self.dir), [])
                self.assertEqual(done.returncode, 1)
                self.assertEqual(done.stdout, b"")
                self.assertTrue(done.stderr.decode().startswith(f"{PROGRAM}: {message}"), done.stderr)
                self.assertEqual(done.stderr.count(b"\n"), 1)


class ErrorsInWords(unittest.TestCase):
    """What the code means first, from the one list of codes, then the
    library's message exactly with its code."""

    def test_the_reason_follows_the_message(self) -> None:
        with tempfile.TemporaryDirectory() as runtime:
            no_display = dict(DISPLAY=None, WAYLAND_DISPLAY=None, XDG_RUNTIME_DIR=runtime)
            cases = [
                (["all", "-"], no_display, "EnumDisplayMonitors failed", 5),
                (["monitors"], no_display, "EnumDisplayMonitors failed", 5),
                (["-t", "jpeg", "-"], no_display, "EnumDisplayMonitors failed", 5),
                (["-u", "-"], no_display, "xcb_connect failed", 5),
                (["region", "0", "0", "9", "9", "-"], {"VANTOREL_SCREENSHOT_BACKEND": "bogus"},
                 "EnumDisplayMonitors failed", 100),
                (["window", "0x7ffffff", "-"], {}, "GetWindowRect failed", 3),
            ]
            for args, changes, message, code in cases:
                with self.subTest(args=args, changes=changes):
                    done = run(*args, env=clean_env(**changes))
                    self.assertEqual(done.returncode, 1)
                    self.assertEqual(done.stdout, b"")
                    self.assertEqual(done.stderr.decode(), f"{PROGRAM}: {REASONS[code]} ({message}, error {code})\n")
        self.assertEqual(
            REASONS[5], "no display: DISPLAY is unset or malformed and no Wayland compositor answered"
        )


if __name__ == "__main__":
    unittest.main()
