#!/usr/bin/env bash
# The Linux wheel, for x86_64 Linux with glibc 2.31 or later (Debian 11,
# Ubuntu 20.04 and everything newer), in DIST_DIR:
#
#   vantorel_screenshot-1.0.0-py3-none-manylinux_2_31_x86_64.whl
#
# The library and the program are built in a Debian 11 (bullseye) chroot made
# from this machine's apt sources (rig/chroot.sh): what is built against
# glibc 2.31 runs on it and on every later one. The wheel is made from those
# files on the host (setup.py with VANTOREL_SCREENSHOT_PREBUILT), and
# auditwheel (Debian's python3-auditwheel, in a sid chroot; bookworm has
# none) repairs it: it copies in the libraries the manylinux policy does not
# let a wheel take from the system (libxcb and its extensions, libpng and
# what they need), points the files at them, and tags the wheel
# manylinux_2_31_x86_64. libwayland-client and libsystemd are not among them:
# the library opens them at run time where the system has them.
#
#   scripts/build-wheel-linux.sh DIST_DIR     builds into build-wheel/, the wheel into DIST_DIR
#   scripts/build-wheel-linux.sh --prepare    only makes the two chroots
#
# Needs root (chroots) and what scripts/install-deps.sh installs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
chroot=$root/rig/chroot.sh
plat=manylinux_2_31_x86_64

# Everything the CMake build of the library and the program needs, as
# Debian 11 packages it (its CMake is 3.18, the project's minimum).
build_packages=(build-essential cmake pkg-config libstb-dev libpng-dev zlib1g-dev libjpeg-dev
  libxcb1-dev libxcb-shm0-dev libxcb-randr0-dev libxcb-composite0-dev libxcb-xinerama0-dev
  libxcb-xfixes0-dev libwayland-dev wayland-protocols libsystemd-dev)
tool_packages=(python3-auditwheel patchelf)

prepare() {
  "$chroot" ensure bullseye bullseye "${build_packages[@]}" >/dev/null
  "$chroot" ensure sid-wheeltools sid "${tool_packages[@]}" >/dev/null
}
if [ "${1:-}" = --prepare ]; then
  prepare
  exit 0
fi
dist=$(mkdir -p "${1:?usage: scripts/build-wheel-linux.sh DIST_DIR}" && cd "$1" && pwd)
build=$root/build-wheel
mkdir -p "$build"
prepare
in_bullseye() { "$chroot" run bullseye -- "$@"; }

# The install's library directory is its root, as in the package: the
# program in bin/ finds the library at $ORIGIN/.. (its install RPATH).
in_bullseye cmake -S "$root" -B "$build/cmake" -DCMAKE_BUILD_TYPE=Release -DVS_BUILD_TESTS=OFF \
  -DCMAKE_INSTALL_LIBDIR=. >"$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
in_bullseye cmake --build "$build/cmake" -j "$(nproc)" --target vantorel-screenshot vantorel-screenshot-cli
stage=$build/stage
rm -rf "$stage"
for component in runtime cli; do
  in_bullseye cmake --install "$build/cmake" --component "$component" --prefix "$stage" --strip >/dev/null
done
library=$(find "$stage" -maxdepth 1 -name 'libvantorel-screenshot.so.1.*' -type f)
program=$stage/bin/vantorel-screenshot
if [ -z "$library" ] || [ ! -x "$program" ]; then
  echo "build-wheel-linux: nothing installed in $stage" >&2
  exit 1
fi

# auditwheel runs in sid, whose own libraries are newer than glibc 2.31
# allows: it searches only copies of the libraries the files use as bullseye
# resolves them.
ldpath=$build/ldpath
rm -rf "$ldpath"
mkdir -p "$ldpath"
# shellcheck disable=SC2016
in_bullseye sh -c 'ldd "$1" "$2" | awk '\''$2 == "=>" && $3 ~ /^\// { print $3 }'\'' | sort -u |
  grep -v /libvantorel-screenshot | while read -r lib; do cp -L "$lib" "$3/"; done' \
  sh "$library" "$program" "$ldpath"

# The wheel from those files, by pip over Debian's setuptools and wheel.
venv=$build/venv
[ -x "$venv/bin/pip" ] || /usr/bin/python3 -m venv --system-site-packages "$venv"
raw=$build/raw
rm -rf "$raw" "$build/repaired"
VANTOREL_SCREENSHOT_PREBUILT=$library VANTOREL_SCREENSHOT_PREBUILT_PROGRAM=$program \
  "$venv/bin/pip" wheel --quiet --no-index --no-build-isolation --no-deps --no-cache-dir \
  --wheel-dir "$raw" "$root"
"$chroot" run sid-wheeltools -- auditwheel repair --plat "$plat" --only-plat --ldpaths "$ldpath" \
  --wheel-dir "$build/repaired" "$raw"/vantorel_screenshot-*-linux_x86_64.whl >"$build/repair.log" 2>&1 ||
  { cat "$build/repair.log"; exit 1; }
rm -f "$dist"/vantorel_screenshot-*-manylinux_*.whl "$dist"/vantorel_screenshot-*-linux_x86_64.whl
cp "$build/repaired"/vantorel_screenshot-*-"$plat".whl "$dist/"
ls -l "$dist"/vantorel_screenshot-*-"$plat".whl
