#!/usr/bin/env bash
# The tests on a Wayland desktop: starts the headless sway rig (two outputs
# with known pictures, Xwayland) and runs the tests labelled wayland in build/
# (or $VS_BUILD_DIR), which the plain ctest run skipped for want of a
# compositor. Here a skip is a failure (VS_WAYLAND_REQUIRED).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${VS_BUILD_DIR:-$root/build}" && pwd)

eval "$("$root/rig/sway-start.sh")"
trap '"$root/rig/sway-stop.sh" "$RIG_DIR"' EXIT
echo "sway rig on $WAYLAND_DISPLAY (XDG_RUNTIME_DIR $XDG_RUNTIME_DIR), Xwayland on ${DISPLAY:-none}"

export VS_WAYLAND_REQUIRED=1
cd "$build"
ctest -L wayland -LE wayland_restart --output-on-failure --no-tests=error
# Last, as it replaces the compositor.
ctest -L wayland_restart --output-on-failure --no-tests=error
