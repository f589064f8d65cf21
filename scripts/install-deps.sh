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

# KDE Plasma portal desktop (rig/kde-start.sh, scripts/test-stage-75-kde.sh):
# KWin headless and the KDE portal backend, which starts only with Qt's
# Wayland plugin and whose screenshot code loads the QML modules below;
# Mesa for KWin's compositing; the session bus, gdbus and GObject's Python
# bindings for the rig and its portal probe; the Wayland client side for the
# test client that paints known pictures.
apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=900 \
  kwin-wayland xdg-desktop-portal-kde qtwayland5 plasma-workspace \
  qml-module-qtquick-controls2 qml-module-qtquick-layouts qml-module-org-kde-kirigami2 \
  xdg-desktop-portal libgl1-mesa-dri libegl-mesa0 \
  dbus libglib2.0-bin python3-gi gir1.2-glib-2.0 \
  libwayland-dev libwayland-bin wayland-protocols pkg-config libpng16-16 \
  >/dev/null
