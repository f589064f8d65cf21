"""The Python package with the shared library and the command inside it.

    pip install .

builds libvantorel-screenshot.so.1 and the program vantorel-screenshot with
CMake (tests off, in build-python/) and puts the library beside
vantorel_screenshot/__init__.py, which loads it from there, and the program
in vantorel_screenshot/bin/, which the command `vantorel-screenshot` (a
console entry point) and `python -m vantorel_screenshot` run. The wheel is
tagged py3-none-<platform>: the package loads the library through ctypes, so
any Python 3 of that platform can use it.

With VANTOREL_SCREENSHOT_PREBUILT naming a library built elsewhere (a
vantorel-screenshot.dll from the MinGW cross-build, or a Linux build's
libvantorel-screenshot.so.1) that file goes into the package unchanged, and
the wheel's platform is the one that file was built for: this is how
scripts/build-packages.sh makes the Windows wheels on Linux, and the Linux
wheel from the Debian 11 build (scripts/build-wheel-linux.sh), which
auditwheel then makes a manylinux one. VANTOREL_SCREENSHOT_PREBUILT_PROGRAM
names the program built with it; without it the wheel has no program.
"""

from __future__ import annotations

import os
import shutil
import struct
import subprocess
import sysconfig
from typing import Optional, Tuple

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

try:  # setuptools 70.1 took bdist_wheel over from the wheel package
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:
    from wheel.bdist_wheel import bdist_wheel

ROOT = os.path.dirname(os.path.abspath(__file__))
PACKAGE = "vantorel_screenshot"
PREBUILT = "VANTOREL_SCREENSHOT_PREBUILT"
PREBUILT_PROGRAM = "VANTOREL_SCREENSHOT_PREBUILT_PROGRAM"
# The file name the package loads for each binary format, and its program's.
NAMES = {"elf": "libvantorel-screenshot.so.1", "pe": "vantorel-screenshot.dll"}
PROGRAMS = {"elf": "vantorel-screenshot", "pe": "vantorel-screenshot.exe"}

ELF_MACHINES = {0x03: "i686", 0x3E: "x86_64", 0x28: "armv7l", 0xB7: "aarch64", 0xF3: "riscv64"}
PE_MACHINES = {0x014C: "win32", 0x8664: "win_amd64", 0xAA64: "win_arm64"}


def binary_kind(path: str) -> Tuple[str, str]:
    """("elf" or "pe", the wheel platform tag) of a shared library file."""
    with open(path, "rb") as file:
        head = file.read(4096)
    if head[:4] == b"\x7fELF":
        order = "<" if head[5] == 1 else ">"
        (machine,) = struct.unpack_from(order + "H", head, 18)
        if machine in ELF_MACHINES:
            return "elf", "linux_" + ELF_MACHINES[machine]
        raise SystemExit(f"{path}: ELF machine {machine:#x} has no wheel platform here")
    if head[:2] == b"MZ" and len(head) >= 64:
        (pe_offset,) = struct.unpack_from("<I", head, 0x3C)
        if head[pe_offset : pe_offset + 4] == b"PE\0\0":
            (machine,) = struct.unpack_from("<H", head, pe_offset + 4)
            if machine in PE_MACHINES:
                return "pe", PE_MACHINES[machine]
            raise SystemExit(f"{path}: PE machine {machine:#x} has no wheel platform here")
    raise SystemExit(f"{path}: neither an ELF nor a PE shared library")


def host_platform_tag() -> str:
    return sysconfig.get_platform().replace("-", "_").replace(".", "_")


def build_library(build_temp: str) -> Tuple[str, Optional[str]]:
    """Builds the library and the program with CMake; the paths of the files to ship."""
    cmake = os.environ.get("CMAKE", "cmake")
    build_temp = os.path.abspath(build_temp)
    build_dir = os.path.join(build_temp, "cmake")
    stage = os.path.join(build_temp, "stage")
    jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
    # The library directory is the stage itself, as it is the package: the
    # program in bin/ finds the library at $ORIGIN/.. (its install RPATH).
    steps = [
        [cmake, "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release", "-DVS_BUILD_TESTS=OFF",
         "-DCMAKE_INSTALL_LIBDIR=."],
        [cmake, "--build", build_dir, "--target", "vantorel-screenshot", "vantorel-screenshot-cli",
         "--parallel", jobs],
        [cmake, "--install", build_dir, "--component", "runtime", "--prefix", stage, "--strip"],
        [cmake, "--install", build_dir, "--component", "cli", "--prefix", stage, "--strip"],
    ]
    shutil.rmtree(stage, ignore_errors=True)
    for step in steps:
        try:
            subprocess.run(step, check=True)
        except FileNotFoundError as error:
            raise SystemExit(
                f"{cmake} not found: building vantorel-screenshot needs CMake, a C++17 compiler "
                "and the XCB and stb development files (scripts/install-deps.sh on Debian)"
            ) from error
    library = program = None
    for directory, _, files in os.walk(stage):
        for name in files:
            if name in NAMES.values():
                # The SONAME link resolves to the versioned file; ship its content.
                library = os.path.realpath(os.path.join(directory, name))
            elif name in PROGRAMS.values():
                program = os.path.join(directory, name)
    if library is None:
        raise SystemExit(f"the CMake install in {stage} holds no {' or '.join(NAMES.values())}")
    return library, program


class BinaryDistribution(Distribution):
    # A binary inside makes the wheel platform-specific and its root platlib.
    def has_ext_modules(self) -> bool:
        return True


class BuildPy(build_py):
    """The package's Python files, then the library beside them and the program in bin/."""

    def run(self) -> None:
        super().run()
        prebuilt = os.environ.get(PREBUILT)
        if prebuilt:
            library = os.path.abspath(prebuilt)
            if not os.path.isfile(library):
                raise SystemExit(f"{PREBUILT}={prebuilt}: no such file")
            program = os.environ.get(PREBUILT_PROGRAM) or None
            if program and not os.path.isfile(program):
                raise SystemExit(f"{PREBUILT_PROGRAM}={program}: no such file")
        else:
            library, program = build_library(self.get_finalized_command("build").build_temp)
        kind, platform = binary_kind(library)
        target = os.path.join(self.build_lib, PACKAGE)
        # build_lib outlives one wheel: drop what another platform's build left.
        for name in NAMES.values():
            stale = os.path.join(target, name)
            if os.path.lexists(stale):
                os.remove(stale)
        shutil.rmtree(os.path.join(target, "bin"), ignore_errors=True)
        shutil.copyfile(library, os.path.join(target, NAMES[kind]))
        os.chmod(os.path.join(target, NAMES[kind]), 0o755)
        if program:
            os.makedirs(os.path.join(target, "bin"))
            shipped = os.path.join(target, "bin", PROGRAMS[kind])
            shutil.copyfile(program, shipped)
            os.chmod(shipped, 0o755)
        self.distribution.vs_platform_tag = platform  # type: ignore[attr-defined]


class BdistWheel(bdist_wheel):
    def get_tag(self) -> Tuple[str, str, str]:
        platform: Optional[str] = getattr(self.distribution, "vs_platform_tag", None)
        return "py3", "none", platform or host_platform_tag()


setup(
    distclass=BinaryDistribution,
    package_dir={"": "python"},
    packages=[PACKAGE],
    package_data={PACKAGE: ["py.typed"]},
    cmdclass={"build_py": BuildPy, "bdist_wheel": BdistWheel},
    # build/ is the CMake build of scripts/test.sh and the README.
    options={"build": {"build_base": "build-python"}},
    zip_safe=False,
)
