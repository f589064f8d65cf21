#!/usr/bin/env bash
# Installs, from Debian 12's packages, everything the builds, the demo and the
# tests need: compilers, MinGW-w64, Wine (64- and 32-bit), Xorg with the dummy
# driver, XCB, stb, GoogleTest and Google Benchmark.
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
  exec sudo -E "$0" "$@"
fi

export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends \
  ca-certificates cmake make g++ gcc pkg-config clang clang-format libclang-rt-14-dev \
  libstb-dev libgtest-dev libgmock-dev libbenchmark-dev libpng-dev nlohmann-json3-dev \
  libxcb1-dev libxcb-shm0-dev libxcb-randr0-dev libxcb-composite0-dev libxcb-xinerama0-dev \
  xserver-xorg-core xserver-xorg-video-dummy x11-xserver-utils x11-utils xcompmgr xauth \
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools binutils-mingw-w64 \
  wine wine64 wine32:i386 \
  libxrandr2 libxrandr2:i386 libxrender1 libxrender1:i386 libxinerama1 libxinerama1:i386 \
  libxcomposite1 libxcomposite1:i386 libxfixes3 libxfixes3:i386 libxi6 libxi6:i386 \
  libxcursor1 libxcursor1:i386 \
  valgrind hyperfine python3 procps \
  >/dev/null

# Packaging (scripts/build-packages.sh, stage 60): Debian's python3 with
# setuptools and wheel builds the wheels offline; the *-whl packages let pip
# build in an isolated environment without an index; Pillow for grab_image
# and monitor_image; dpkg-shlibdeps (dpkg-dev) for CPack's Depends; file for
# the wheels' machine types.
apt-get install -y -qq --no-install-recommends \
  python3-venv python3-setuptools python3-wheel python3-pil \
  python3-setuptools-whl python3-wheel-whl python3-pip-whl \
  dpkg-dev file git \
  >/dev/null
