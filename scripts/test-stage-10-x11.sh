#!/usr/bin/env bash
# The Linux library on a real X server: starts the Xorg dummy rig and runs the
# tests labelled x11 in build/ (or $VS_BUILD_DIR), which the plain ctest run
# skipped for want of a display. Here a skip is a failure (VS_X11_REQUIRED).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${VS_BUILD_DIR:-$root/build}" && pwd)

eval "$("$root/rig/start.sh")"
trap '"$root/rig/stop.sh" "$RIG_DIR"' EXIT
echo "rig on $DISPLAY"

export VS_X11_REQUIRED=1
cd "$build"
ctest -L x11 --output-on-failure --no-tests=error
