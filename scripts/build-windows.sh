#!/usr/bin/env bash
# Cross-builds vantorel-screenshot.dll (with its import library, the .def file
# and the Windows test programs) for 64-bit Windows into build-win64 and for
# 32-bit Windows into build-win32, with Debian's MinGW-w64.
#
#   scripts/build-windows.sh [Release|Debug]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
type=${1:-Release}
jobs=$(nproc)

for arch in x86_64 i686; do
  case "$arch" in
    x86_64) build=$root/build-win64 ;;
    *) build=$root/build-win32 ;;
  esac
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="$type" -DVS_BUILD_TESTS=ON \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-$arch.cmake" >/dev/null
  cmake --build "$build" -j "$jobs"
  echo "built $build/vantorel-screenshot.dll"
done
