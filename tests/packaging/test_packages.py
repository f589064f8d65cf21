"""What users install, as they install it: the Python package by `pip install .`
and from the wheels, the Debian packages by dpkg. Run by
scripts/test-stage-65-packages.sh after scripts/build-packages.sh, as root,
on the rig (DISPLAY set).

VS_DIST_DIR holds the packages (default dist/), VS_PACKAGE_BUILD_DIR the
build they came from (default build-pkg/).
"""

from __future__ import annotations

import base64
import csv
import hashlib
import io
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile
from typing import Dict, List

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DIST = os.path.abspath(os.environ.get("VS_DIST_DIR", os.path.join(ROOT, "dist")))
BUILD = os.path.abspath(os.environ.get("VS_PACKAGE_BUILD_DIR", os.path.join(ROOT, "build-pkg")))
# Debian's interpreter with its setuptools, wheel and Pillow; another python3
# may come first on PATH.
PYTHON = "/usr/bin/python3"
PYTHON_TESTS = os.path.join(ROOT, "python", "tests")
sys.path.insert(0, PYTHON_TESTS)

from pngcheck import decode  # noqa: E402

VERSION = "1.0.0"
# The Linux wheel's tag: built on glibc 2.31 (scripts/build-wheel-linux.sh).
LINUX = "manylinux_2_31_x86_64"
WHEELS = {
    LINUX: ("libvantorel-screenshot.so.1", "ELF 64-bit LSB shared object, x86-64", None),
    "win_amd64": ("vantorel-screenshot.dll", "PE32+ executable (DLL)", "build-win64"),
    "win32": ("vantorel-screenshot.dll", "PE32 executable (DLL)", "build-win32"),
}
PROGRAMS = {LINUX: "vantorel-screenshot", "win_amd64": "vantorel-screenshot.exe",
            "win32": "vantorel-screenshot.exe"}
# What the manylinux policy lets a wheel take from the system, of what ours needs.
SYSTEM_LIBRARIES = {"libc.so.6", "libm.so.6", "libdl.so.2", "libpthread.so.0", "librt.so.1",
                    "libgcc_s.so.1", "libstdc++.so.6", "libz.so.1", "ld-linux-x86-64.so.2"}
PE_MACHINE = {"win_amd64": "x86-64", "win32": "Intel 80386"}
DEBS = ["libvantorel-screenshot1", "libvantorel-screenshot-dev", "vantorel-screenshot"]


def wheel_path(platform: str) -> str:
    return os.path.join(DIST, f"vantorel_screenshot-{VERSION}-py3-none-{platform}.whl")


def deb_path(package: str) -> str:
    return os.path.join(DIST, f"{package}_{VERSION}_amd64.deb")


def sha256(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def run(command: List[str], timeout: float = 600, check: bool = True, **kwargs) -> subprocess.CompletedProcess:
    done = subprocess.run(command, capture_output=True, text=True, timeout=timeout, **kwargs)
    if check and done.returncode != 0:
        raise AssertionError(
            f"{' '.join(command)} exited {done.returncode}\n{done.stdout[-3000:]}\n{done.stderr[-3000:]}"
        )
    return done


def clean_env(**extra: str) -> Dict[str, str]:
    """The environment of a user who set nothing up for the library."""
    env = {
        k: v
        for k, v in os.environ.items()
        if k not in ("VANTOREL_SCREENSHOT_LIBRARY", "LD_LIBRARY_PATH", "PYTHONPATH", "VS_BUILD_DIR")
        and not k.startswith("PIP_")
    }
    env.update(PIP_NO_CACHE_DIR="1", PIP_DISABLE_PIP_VERSION_CHECK="1", CMAKE_BUILD_PARALLEL_LEVEL="2")
    env.update(extra)
    return env


def make_venv(path: str, system_site_packages: bool = True) -> str:
    command = [PYTHON, "-m", "venv", path]
    if system_site_packages:
        command.insert(3, "--system-site-packages")
    run(command)
    return os.path.join(path, "bin", "python")


PROBE = """
import json, os, sys, vantorel_screenshot as vs
png = vs.grab_png(0, 0, 16, 16)
print(json.dumps({"file": vs.__file__, "library": vs.library_path(), "version": vs.version(),
                  "monitors": len(vs.monitors()), "png": png[:8].hex()}))
"""


class InstalledPackage:
    """Checks on a package pip installed into a venv, run from elsewhere."""

    def check_installed(self, python: str, venv: str) -> None:
        case: unittest.TestCase = self  # type: ignore[assignment]
        with tempfile.TemporaryDirectory() as elsewhere:
            done = run([python, "-c", PROBE], cwd=elsewhere, env=clean_env(), timeout=60)
            # The program inside the package, as the command on the venv's
            # PATH and as python -m.
            for command in ([os.path.join(venv, "bin", "vantorel-screenshot")],
                            [python, "-m", "vantorel_screenshot"]):
                png = subprocess.run(command + ["region", "0", "0", "24", "16", "-"], cwd=elsewhere,
                                     env=clean_env(), capture_output=True, timeout=60)
                case.assertEqual(png.returncode, 0, png.stderr)
                case.assertEqual((decode(png.stdout).width, decode(png.stdout).height), (24, 16))
        probe = json.loads(done.stdout)
        package = os.path.dirname(probe["file"])
        case.assertTrue(probe["file"].startswith(venv + os.sep), probe)
        case.assertEqual(probe["library"], os.path.join(package, "libvantorel-screenshot.so.1"))
        case.assertEqual(probe["version"], VERSION)
        case.assertEqual(probe["monitors"], 2)
        case.assertEqual(probe["png"], "89504e470d0a1a0a")

    def run_python_suite(self, python: str) -> None:
        """The package's own tests (python/tests), Pillow's included, against
        the installed copy: python/tests holds no package to shadow it."""
        case: unittest.TestCase = self  # type: ignore[assignment]
        env = clean_env(
            VS_TEST_INSTALLED="1",
            VS_DEMO_WINDOWS=os.path.join(BUILD, "cli", "vs-demo-windows"),
            PYTHONPATH=PYTHON_TESTS,
        )
        with tempfile.TemporaryDirectory() as elsewhere:
            done = run([python, "-m", "unittest", "test_vantorel_screenshot", "pillow_images"],
                       cwd=elsewhere, env=env, check=False, timeout=300)
        case.assertEqual(done.returncode, 0, done.stderr[-4000:])
        status = re.search(r"^Ran \d+ tests? in \S+\n\n(.*)$", done.stderr, re.MULTILINE)
        # "OK (skipped=N)": some of it tested nothing.
        case.assertEqual(status and status.group(1), "OK", done.stderr[-4000:])


class PipInstall(unittest.TestCase, InstalledPackage):
    """`pip install .` as the README gives it, on a copy of the source tree
    (what git tracks, no build directories)."""

    @classmethod
    def setUpClass(cls) -> None:
        cls.work = tempfile.mkdtemp(prefix="vs-pip-")
        cls.source = os.path.join(cls.work, "vantorel-screenshot")
        listed = run(["git", "-C", ROOT, "ls-files", "-z", "-co", "--exclude-standard"]).stdout
        for name in filter(None, listed.split("\0")):
            if os.path.isfile(os.path.join(ROOT, name)):
                os.makedirs(os.path.dirname(os.path.join(cls.source, name)), exist_ok=True)
                shutil.copy2(os.path.join(ROOT, name), os.path.join(cls.source, name))

    @classmethod
    def tearDownClass(cls) -> None:
        shutil.rmtree(cls.work)

    def test_offline_install_without_build_isolation(self) -> None:
        venv = os.path.join(self.work, "v")
        python = make_venv(venv)
        run([os.path.join(venv, "bin", "pip"), "install", "--no-index", "--no-build-isolation", "."],
            cwd=self.source, env=clean_env())
        self.check_installed(python, venv)
        self.run_python_suite(python)

    def test_isolated_build_from_the_source_distribution(self) -> None:
        # pip's default: build requirements in a fresh environment, here from
        # Debian's wheels of setuptools and wheel instead of an index. The
        # venv has no system packages, so nothing else leaks in.
        venv = os.path.join(self.work, "iso")
        python = make_venv(venv, system_site_packages=False)
        sdist = os.path.join(DIST, f"vantorel-screenshot-{VERSION}.tar.gz")
        run([os.path.join(venv, "bin", "pip"), "install", "--no-index",
             "--find-links", "/usr/share/python-wheels", sdist], cwd=self.work, env=clean_env())
        self.check_installed(python, venv)


class Wheels(unittest.TestCase, InstalledPackage):
    def test_each_wheel_is_complete_and_tagged_for_its_platform(self) -> None:
        for platform, (library, _, _) in WHEELS.items():
            with self.subTest(platform=platform), zipfile.ZipFile(wheel_path(platform)) as wheel:
                info = f"vantorel_screenshot-{VERSION}.dist-info"
                names = set(wheel.namelist())
                # auditwheel's copies of the libraries go beside the package
                # (checked below), and it lists directories as well.
                bundled = {n for n in names if n.startswith("vantorel_screenshot.libs/")}
                self.assertEqual(
                    {n for n in names - bundled - {f"{info}/top_level.txt"} if not n.endswith("/")},
                    {"vantorel_screenshot/__init__.py", "vantorel_screenshot/__main__.py",
                     "vantorel_screenshot/_codes.py", "vantorel_screenshot/py.typed",
                     f"vantorel_screenshot/{library}", f"vantorel_screenshot/bin/{PROGRAMS[platform]}",
                     f"{info}/METADATA", f"{info}/WHEEL", f"{info}/RECORD", f"{info}/entry_points.txt"},
                )
                self.assertEqual(bool(bundled), platform == LINUX)
                self.assertIn("vantorel-screenshot = vantorel_screenshot.__main__:main",
                              wheel.read(f"{info}/entry_points.txt").decode())
                fields = wheel.read(f"{info}/WHEEL").decode().splitlines()
                self.assertIn(f"Tag: py3-none-{platform}", fields)
                self.assertIn("Root-Is-Purelib: false", fields)
                self.assertEqual([f for f in fields if f.startswith("Tag:")], [f"Tag: py3-none-{platform}"])
                metadata = wheel.read(f"{info}/METADATA").decode()
                self.assertIn("\nName: vantorel-screenshot\n", metadata)
                self.assertIn(f"\nVersion: {VERSION}\n", metadata)
                self.assertRegex(metadata, r"\nProvides-Extra: image\n")
                # RECORD: every other file with its urlsafe-base64 SHA-256 and size.
                rows = list(csv.reader(io.StringIO(wheel.read(f"{info}/RECORD").decode())))
                self.assertEqual({row[0] for row in rows}, {n for n in names if not n.endswith("/")})
                for name, digest, size in rows:
                    if name == f"{info}/RECORD":
                        self.assertEqual((digest, size), ("", ""))
                        continue
                    data = wheel.read(name)
                    encoded = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
                    self.assertEqual(digest, "sha256=" + encoded.decode(), name)
                    self.assertEqual(int(size), len(data), name)
                # The Python files are the tree's.
                for name in ("__init__.py", "__main__.py", "_codes.py"):
                    with open(os.path.join(ROOT, "python", "vantorel_screenshot", name), "rb") as f:
                        self.assertEqual(wheel.read(f"vantorel_screenshot/{name}"), f.read(), name)

    def test_libraries_are_built_for_the_wheels_machine(self) -> None:
        for platform, (library, kind, _) in WHEELS.items():
            with self.subTest(platform=platform), tempfile.TemporaryDirectory() as work:
                with zipfile.ZipFile(wheel_path(platform)) as wheel:
                    path = wheel.extract(f"vantorel_screenshot/{library}", work)
                described = run(["file", "-b", path]).stdout
                self.assertTrue(described.startswith(kind), described)
                if platform in PE_MACHINE:
                    self.assertIn(PE_MACHINE[platform], described)
                    self.assertIn("MS Windows", described)
                else:
                    soname = run(["objdump", "-p", path]).stdout
                    self.assertRegex(soname, r"SONAME\s+libvantorel-screenshot\.so\.1\n")

    def test_windows_wheels_carry_the_dlls_the_windows_stage_tests(self) -> None:
        # Stage 20 runs the Windows tests under Wine on build-win64/ and
        # build-win32/; the wheels must hold those very files.
        for platform, (library, _, build) in WHEELS.items():
            if build is None:
                continue
            for name in (library, f"bin/{PROGRAMS[platform]}"):
                with self.subTest(platform=platform, name=name):
                    with zipfile.ZipFile(wheel_path(platform)) as wheel:
                        packed = wheel.read(f"vantorel_screenshot/{name}")
                    with open(os.path.join(ROOT, build, os.path.basename(name)), "rb") as built:
                        self.assertEqual(sha256(packed), sha256(built.read()))

    def test_linux_wheel_needs_nothing_the_policy_does_not_allow(self) -> None:
        # Every library the wheel's files need is the system's by the
        # manylinux policy, or one of auditwheel's copies in the wheel, and
        # none of them is a display library the layers open at run time.
        path = wheel_path(LINUX)
        self.assertLess(os.path.getsize(path), 4 * 1024 * 1024)
        with tempfile.TemporaryDirectory() as work, zipfile.ZipFile(path) as wheel:
            wheel.extractall(work)
            bundled = set(os.listdir(os.path.join(work, "vantorel_screenshot.libs")))
            package = os.path.join(work, "vantorel_screenshot")
            files = [os.path.join(package, "libvantorel-screenshot.so.1"),
                     os.path.join(package, "bin", "vantorel-screenshot")]
            files += [os.path.join(work, "vantorel_screenshot.libs", name) for name in bundled]
            for file in files:
                dynamic = run(["objdump", "-p", file]).stdout
                needed = set(re.findall(r"NEEDED\s+(\S+)", dynamic))
                with self.subTest(file=os.path.basename(file)):
                    self.assertEqual(needed - SYSTEM_LIBRARIES - bundled - {"libvantorel-screenshot.so.1"},
                                     set())
                    self.assertFalse({n for n in needed if "wayland" in n or "systemd" in n}, needed)
                    versions = re.findall(r"GLIBC_2\.(\d+)", run(["objdump", "-T", file]).stdout)
                    self.assertLessEqual(max(map(int, versions), default=0), 31)
            # xcb, its extensions, libpng and libjpeg travel with the wheel.
            for name in ("libxcb", "libxcb-shm", "libxcb-randr", "libxcb-composite", "libxcb-xinerama",
                         "libxcb-xfixes", "libpng16", "libjpeg"):
                self.assertTrue([b for b in bundled if b.startswith(name + "-")], (name, bundled))

    def test_pip_picks_each_wheel_for_its_platform_only(self) -> None:
        # pip's own tag matching, for a target platform other than this one.
        pip = [PYTHON, "-m", "pip"] if _has_pip(PYTHON) else None
        with tempfile.TemporaryDirectory() as work:
            if pip is None:
                pip = [os.path.join(work, "v", "bin", "pip")]
                make_venv(os.path.join(work, "v"))

            def download(platform: str, links: str) -> subprocess.CompletedProcess:
                out = tempfile.mkdtemp(dir=work)
                done = run(pip + ["download", "--no-index", "--no-deps", "--find-links", links,
                                  "--only-binary=:all:", "--platform", platform, "--python-version", "3.8",
                                  "--implementation", "cp", "--dest", out, "vantorel-screenshot"],
                           check=False, env=clean_env())
                done.files = sorted(os.listdir(out))  # type: ignore[attr-defined]
                return done

            for platform in WHEELS:
                with self.subTest(platform=platform):
                    done = download(platform, DIST)
                    self.assertEqual(done.returncode, 0, done.stderr)
                    self.assertEqual(done.files, [os.path.basename(wheel_path(platform))])  # type: ignore
            # The other architecture's wheel alone is refused.
            alone = os.path.join(work, "win32-only")
            os.makedirs(alone)
            shutil.copy(wheel_path("win32"), alone)
            done = download("win_amd64", alone)
            self.assertNotEqual(done.returncode, 0)
            self.assertIn("No matching distribution", done.stderr)

    def test_linux_wheel_installed_into_a_fresh_venv(self) -> None:
        with tempfile.TemporaryDirectory() as work:
            venv = os.path.join(work, "v")
            python = make_venv(venv)
            run([os.path.join(venv, "bin", "pip"), "install", "--no-index", wheel_path(LINUX)],
                cwd=work, env=clean_env())
            self.check_installed(python, venv)
            self.run_python_suite(python)

    def test_windows_wheels_dlls_capture_under_wine(self) -> None:
        # The Windows program from the tested build, with the DLL taken out of
        # the wheel beside it; both architectures at once (a prefix takes ~25 s).
        with tempfile.TemporaryDirectory() as work:
            jobs = {}
            for platform, loader in (("win_amd64", "/usr/lib/wine/wine64"), ("win32", "/usr/lib/wine/wine")):
                library, _, build = WHEELS[platform]
                here = os.path.join(work, platform)
                os.makedirs(here)
                shutil.copy(os.path.join(ROOT, str(build), "vantorel-screenshot.exe"), here)
                with zipfile.ZipFile(wheel_path(platform)) as wheel, \
                        open(os.path.join(here, library), "wb") as out:
                    out.write(wheel.read(f"vantorel_screenshot/{library}"))
                script = (
                    f'"{loader}" vantorel-screenshot.exe version >version.txt && '
                    f'"{loader}" vantorel-screenshot.exe region 0 0 48 32 - >region.png'
                )
                env = dict(os.environ, WINEPREFIX=os.path.join(here, "prefix"), WINEDEBUG="-all",
                           WINEDLLOVERRIDES="mscoree,mshtml=",
                           WINEARCH="win64" if platform == "win_amd64" else "win32")
                jobs[platform] = (subprocess.Popen(["timeout", "300", "bash", "-c", script], cwd=here, env=env,
                                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT), env)
            for platform, (process, env) in jobs.items():
                with self.subTest(platform=platform):
                    output = process.communicate(timeout=330)[0].decode(errors="replace")
                    subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=env, capture_output=True, timeout=60)
                    self.assertEqual(process.returncode, 0, output[-2000:])
                    here = os.path.join(work, platform)
                    with open(os.path.join(here, "version.txt"), "rb") as f:
                        self.assertEqual(f.read(), b"1.0.0\n")
                    with open(os.path.join(here, "region.png"), "rb") as f:
                        image = decode(f.read())
                    self.assertEqual((image.width, image.height), (48, 32))


def _has_pip(python: str) -> bool:
    return subprocess.run([python, "-m", "pip", "--version"], capture_output=True).returncode == 0


def dpkg(*args: str) -> subprocess.CompletedProcess:
    """dpkg, waiting (bounded) while another package manager holds its lock."""
    deadline = time.monotonic() + 900
    while True:
        done = run(["dpkg", *args], check=False, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
        if done.returncode == 0 or "lock" not in done.stderr or time.monotonic() > deadline:
            return done
        time.sleep(5)


def owner(path: str) -> str:
    """The package that installed a file; with /lib merged into /usr/lib,
    dpkg knows it under one of the two names."""
    candidates = [path, os.path.realpath(path)]
    for candidate in list(candidates):
        if candidate.startswith("/usr/"):
            candidates.append(candidate[len("/usr"):])
        else:
            candidates.append("/usr" + candidate)
    for candidate in candidates:
        done = run(["dpkg-query", "-S", candidate], check=False)
        if done.returncode == 0:
            return done.stdout.split(":")[0]
    raise AssertionError(f"no package owns {path}")


def installed(package: str) -> bool:
    done = run(["dpkg-query", "-W", "-f=${Status}", package], check=False)
    return done.stdout.endswith(" installed")


def known(package: str) -> bool:
    """Installed, or removed with its dpkg records left ("rc")."""
    done = run(["dpkg-query", "-W", "-f=${Status}", package], check=False)
    return done.returncode == 0 and not done.stdout.endswith(" not-installed")


# Docker-style Debian images tell dpkg to leave manual pages out
# (path-exclude=/usr/share/man/* under /etc/dpkg/dpkg.cfg.d/). The command line
# comes after that configuration, so ours is let in: the test is that man
# finds it.
MAN_PAGE_INCLUDE = "--path-include=/usr/share/man/man1/vantorel-screenshot.1*"


def install_ours() -> subprocess.CompletedProcess:
    return dpkg(MAN_PAGE_INCLUDE, "-i", *[deb_path(p) for p in DEBS])


def remove_ours() -> None:
    present = [p for p in DEBS if known(p)]
    if present:
        done = dpkg("--purge", *present)
        if done.returncode != 0:
            raise AssertionError(f"dpkg --purge {' '.join(present)}: {done.stderr}")


class DebianPackages(unittest.TestCase):
    """dpkg -i of the three packages, what a C user then does, dpkg -r."""

    @classmethod
    def setUpClass(cls) -> None:
        remove_ours()
        done = install_ours()
        if done.returncode != 0:
            # No tearDownClass after a failed set-up: leave nothing installed.
            remove_ours()
            raise AssertionError(f"dpkg -i: {done.stdout}\n{done.stderr}")
        cls.work = tempfile.mkdtemp(prefix="vs-deb-")

    @classmethod
    def tearDownClass(cls) -> None:
        shutil.rmtree(cls.work)
        remove_ours()

    def test_depends_names_the_package_of_every_needed_library(self) -> None:
        # shlibdeps found them: the package of each DT_NEEDED is in Depends.
        library = "/usr/lib/x86_64-linux-gnu/libvantorel-screenshot.so.1"
        needed = re.findall(r"NEEDED\s+(\S+)", run(["objdump", "-p", library]).stdout)
        self.assertIn("libxcb.so.1", needed)
        resolved = {}
        for line in run(["ldd", library]).stdout.splitlines():
            fields = line.split()
            if len(fields) >= 3 and fields[1] == "=>":
                resolved[fields[0]] = fields[2]
            elif fields and fields[0].startswith("/"):
                resolved[os.path.basename(fields[0])] = fields[0]
        depends = run(["dpkg-query", "-W", "-f=${Depends}", "libvantorel-screenshot1"]).stdout
        declared = {d.split()[0].split(":")[0] for d in depends.split(", ")}
        # The display libraries opened at run time are recommended, not needed.
        recommends = run(["dpkg-query", "-W", "-f=${Recommends}", "libvantorel-screenshot1"]).stdout
        self.assertEqual({r.split()[0] for r in recommends.split(", ")}, {"libwayland-client0", "libsystemd0"})
        self.assertFalse(declared & {"libwayland-client0", "libsystemd0"}, depends)
        for soname in needed:
            with self.subTest(needed=soname):
                self.assertIn(soname, resolved)
                self.assertIn(owner(resolved[soname]), declared, depends)
        for package in ("libvantorel-screenshot-dev", "vantorel-screenshot"):
            with self.subTest(package=package):
                depends = run(["dpkg-query", "-W", "-f=${Depends}", package]).stdout
                self.assertIn(f"libvantorel-screenshot1 (= {VERSION})", depends)

    def test_pkg_config_and_a_program_built_with_it(self) -> None:
        env = {k: v for k, v in os.environ.items() if not k.startswith("PKG_CONFIG")}
        self.assertEqual(run(["pkg-config", "--modversion", "vantorel-screenshot"], env=env).stdout.strip(), VERSION)
        flags = run(["pkg-config", "--cflags", "--libs", "vantorel-screenshot"], env=env).stdout.split()
        self.assertIn("-lvantorel-screenshot", flags)
        program = os.path.join(self.work, "pc-consumer")
        run(["cc", "-Wall", "-Wextra", "-Werror", os.path.join(ROOT, "tests", "install", "consumer", "consumer.c"),
             "-o", program, *flags], env=env)
        loaded = re.search(r"libvantorel-screenshot\.so\.1 => (\S+)", run(["ldd", program]).stdout)
        self.assertIsNotNone(loaded)
        self.assertEqual(
            os.path.realpath(loaded.group(1)),  # type: ignore[union-attr]
            os.path.realpath("/usr/lib/x86_64-linux-gnu/libvantorel-screenshot.so.1"),
        )
        self.assertIn("captured", run([program, "--capture"]).stdout)

    def test_find_package_and_a_program_built_with_it(self) -> None:
        build = os.path.join(self.work, "cmake-consumer")
        # No prefix given: CMake finds the package where dpkg put it.
        run(["cmake", "-S", os.path.join(ROOT, "tests", "install", "consumer"), "-B", build],
            env={k: v for k, v in os.environ.items() if k not in ("CMAKE_PREFIX_PATH",)})
        with open(os.path.join(build, "CMakeCache.txt")) as file:
            cache = file.read()
        self.assertIn("vantorel-screenshot_DIR:PATH=/usr/lib/x86_64-linux-gnu/cmake/vantorel-screenshot", cache)
        run(["cmake", "--build", build])
        self.assertIn("captured", run([os.path.join(build, "consumer"), "--capture"]).stdout)

    def test_the_command_line_program(self) -> None:
        self.assertEqual(shutil.which("vantorel-screenshot", path="/usr/bin"), "/usr/bin/vantorel-screenshot")
        self.assertEqual(run(["/usr/bin/vantorel-screenshot", "version"]).stdout, VERSION + "\n")
        png = subprocess.run(["/usr/bin/vantorel-screenshot", "region", "0", "0", "40", "30", "-"],
                             capture_output=True, timeout=60, check=True).stdout
        image = decode(png)
        self.assertEqual((image.width, image.height), (40, 30))

    def test_man_finds_the_manual_page(self) -> None:
        page = run(["man", "-w", "vantorel-screenshot"]).stdout.strip()
        self.assertRegex(page, r"^/usr/share/man/man1/vantorel-screenshot\.1(\.gz)?$")
        self.assertEqual(owner(page), "vantorel-screenshot")
        env = dict(os.environ, LC_ALL="C", MANWIDTH="80", MANPAGER="cat")
        text = run(["man", "vantorel-screenshot"], env=env).stdout
        for option in ("--geometry", "--output", "--focused", "--delay", "--type", "--quality", "EXIT STATUS"):
            self.assertIn(option, text)


class DebianRemoval(unittest.TestCase):
    def test_dpkg_r_removes_every_file(self) -> None:
        remove_ours()
        self.addCleanup(remove_ours)
        done = install_ours()
        self.assertEqual(done.returncode, 0, done.stderr)
        files: Dict[str, List[str]] = {}
        for package in DEBS:
            listed = run(["dpkg-query", "-L", package]).stdout.splitlines()
            files[package] = [f for f in listed if os.path.isfile(f) or os.path.islink(f)]
            self.assertTrue(files[package], package)
        # Dependents first, as dpkg wants them.
        done = dpkg("-r", "vantorel-screenshot", "libvantorel-screenshot-dev", "libvantorel-screenshot1")
        self.assertEqual(done.returncode, 0, done.stderr)
        for package, paths in files.items():
            with self.subTest(package=package):
                self.assertFalse(installed(package))
                self.assertEqual([p for p in paths if os.path.lexists(p)], [])
        self.assertNotIn("libvantorel-screenshot", run(["ldconfig", "-p"]).stdout)


if __name__ == "__main__":
    unittest.main()
