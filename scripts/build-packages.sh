#!/usr/bin/env bash
# Makes what users install, in dist/:
#
#   vantorel_screenshot-1.0.0-py3-none-manylinux_2_31_x86_64.whl   glibc 2.31 and later
#   vantorel_screenshot-1.0.0-py3-none-win_amd64.whl      build-win64's DLL and program inside
#   vantorel_screenshot-1.0.0-py3-none-win32.whl          build-win32's DLL and program inside
#   vantorel-screenshot-1.0.0.tar.gz                      the Python source distribution
#   libvantorel-screenshot1_1.0.0_amd64.deb               the library
#   libvantorel-screenshot-dev_1.0.0_amd64.deb            header, .so link, .pc, CMake package
#   vantorel-screenshot_1.0.0_amd64.deb                   the command-line program
#
# The Debian packages come from CPack over a /usr build in build-pkg/. The
# Linux wheel comes from scripts/build-wheel-linux.sh: a Debian 11 build,
# its X11 libraries and libpng copied in by auditwheel. The Windows wheels
# carry, byte for byte, the DLLs and programs that scripts/build-windows.sh
# leaves in build-win64/ and build-win32/, the files the Windows stage tests.
# Needs what scripts/install-deps.sh installs, and root (the Debian 11 and
# sid chroots of rig/chroot.sh); no network but the Debian archive.
#
#   scripts/build-packages.sh [--linux] [DIST_DIR]
#
# --linux makes only the Debian packages and the Linux wheel (no MinGW build).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
linux_only=0
if [ "${1:-}" = --linux ]; then
  linux_only=1
  shift
fi
dist=$(mkdir -p "${1:-$root/dist}" && cd "${1:-$root/dist}" && pwd)
build=$root/build-pkg
jobs=$(nproc)
# Debian's interpreter, whose setuptools and wheel build the wheels offline;
# another python3 may come first on PATH.
python=/usr/bin/python3

rm -f "$dist"/vantorel_screenshot-*.whl "$dist"/vantorel-screenshot-*.tar.gz \
  "$dist"/libvantorel-screenshot*.deb "$dist"/vantorel-screenshot_*.deb

# Debian packages. The prefix /usr gives GNUInstallDirs Debian's multiarch
# library directory.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DVS_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs"
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB >"$build/cpack.log") || { cat "$build/cpack.log"; exit 1; }
cp "$build"/packages/*.deb "$dist/"

# The Windows DLLs (a no-op when they are up to date).
if [ "$linux_only" = 0 ]; then "$root/scripts/build-windows.sh" >/dev/null; fi

# The Linux wheel.
"$root/scripts/build-wheel-linux.sh" "$dist" >"$build/wheel-linux.log" 2>&1 ||
  { tail -n 40 "$build/wheel-linux.log"; exit 1; }

# The Windows wheels, by pip from a venv over Debian's setuptools and wheel.
venv=$build/venv
[ -x "$venv/bin/pip" ] || "$python" -m venv --system-site-packages "$venv"
if [ "$linux_only" = 0 ]; then
  for windows in "$root/build-win64" "$root/build-win32"; do
    VANTOREL_SCREENSHOT_PREBUILT=$windows/vantorel-screenshot.dll \
      VANTOREL_SCREENSHOT_PREBUILT_PROGRAM=$windows/vantorel-screenshot.exe \
      "$venv/bin/pip" wheel --quiet --no-index --no-build-isolation --no-deps --no-cache-dir \
      --wheel-dir "$dist" "$root"
  done
fi
(cd "$root" && "$python" -c 'import sys; from setuptools import build_meta
print(build_meta.build_sdist(sys.argv[1]))' "$dist" >"$build/sdist.log" 2>&1) \
  || { cat "$build/sdist.log"; exit 1; }

ls -l "$dist"
