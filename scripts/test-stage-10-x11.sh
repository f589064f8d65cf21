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

# Xvfb's RandR flags no monitor primary: the library still names exactly one.
echo "=== Xvfb: exactly one primary monitor"
fd_file=$(mktemp)
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$fd_file" >/dev/null 2>&1 &
xvfb_pid=$!
trap '"$root/rig/stop.sh" "$RIG_DIR"; kill "$xvfb_pid" 2>/dev/null || true; rm -f "$fd_file"' EXIT
for _ in $(seq 1 100); do grep -q '^[0-9]' "$fd_file" && break; sleep 0.1; done
json=$(DISPLAY=":$(head -n 1 "$fd_file")" "$build/cli/vantorel-screenshot" monitors)
echo "$json"
[ "$(grep -o '"is_primary":true' <<<"$json" | wc -l)" -eq 1 ] || { echo "not exactly one primary" >&2; exit 1; }
