#!/usr/bin/env bash
# The main job, from a fresh Debian 12 machine: installs what is needed, builds
# into build/, and captures the screen to PNG files in out/: the whole screen,
# each monitor, a region and windows, and prints the monitor JSON.
#
# On a Wayland session (WAYLAND_DISPLAY names a live compositor) the library
# captures through the compositor by itself: screen copy on wlroots desktops,
# the desktop portal on GNOME and KDE. Without a Wayland session or a usable X
# display it starts the rig (a two-monitor Xorg on the dummy
# driver), opens three windows with known content on it, captures those, checks
# the files against what was drawn, and stops the rig at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

"$root/scripts/install-deps.sh" --demo
# The tests' dependencies are not installed for the demo; a build tree that
# scripts/test.sh configured keeps its tests.
if grep -q '^VS_BUILD_TESTS:BOOL=ON' build/CMakeCache.txt 2>/dev/null; then tests=ON; else tests=OFF; fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVS_BUILD_TESTS=$tests >/dev/null
cmake --build build -j "$(nproc)" --target vantorel-screenshot-cli vs-demo-windows >/dev/null

cli=$root/build/cli/vantorel-screenshot
out=$root/out
mkdir -p "$out"
rm -f "$out"/*.png "$out"/monitors.json "$out"/windows.txt

rig_dir=""
windows_pid=""
cleanup() {
  if [ -n "$windows_pid" ]; then kill "$windows_pid" 2>/dev/null || true; fi
  if [ -n "$rig_dir" ]; then "$root/rig/stop.sh" "$rig_dir" || true; fi
}
trap cleanup EXIT

wayland_socket=${WAYLAND_DISPLAY:-}
if [ -n "$wayland_socket" ] && [ "${wayland_socket#/}" = "$wayland_socket" ]; then
  wayland_socket=${XDG_RUNTIME_DIR:-/nonexistent}/$wayland_socket
fi
if [ -n "${WAYLAND_DISPLAY:-}" ] && [ -S "$wayland_socket" ]; then
  echo "Capturing the Wayland session $WAYLAND_DISPLAY (layer: ${VANTOREL_SCREENSHOT_BACKEND:-chosen by the library})"
elif [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  echo "Capturing display $DISPLAY"
else
  eval "$("$root/rig/start.sh")"
  rig_dir=$RIG_DIR
  echo "No usable display: started the rig on $DISPLAY (two monitors, Xorg dummy driver)"
  "$root/build/cli/vs-demo-windows" >"$out/windows.txt" &
  windows_pid=$!
  for _ in $(seq 1 100); do
    [ "$(wc -l <"$out/windows.txt")" -ge 3 ] && break
    kill -0 "$windows_pid" 2>/dev/null || { echo "demo: the window opener failed" >&2; exit 1; }
    sleep 0.1
  done
  echo "Opened three windows with known content:"
  sed 's/^/  /' "$out/windows.txt"
fi

written=()
capture() { # capture FILE COMMAND ARGS...
  local file=$1
  shift
  "$cli" "$@" "$file"
  written+=("$file")
}

echo
echo "Monitors (vantorel-screenshot monitors):"
"$cli" monitors | tee "$out/monitors.json"
count=$(python3 -c 'import json, sys; print(len(json.load(sys.stdin)))' <"$out/monitors.json")

capture "$out/screen.png" all
for ((i = 0; i < count; i++)); do capture "$out/monitor-$i.png" monitor "$i"; done
capture "$out/region.png" region 0 0 640 360

if [ -s "$out/windows.txt" ]; then
  while read -r id _ _ _ _ name; do capture "$out/window-$name.png" window "$id"; done <"$out/windows.txt"
else
  # On a desktop, the window that has the focus, as the window manager says.
  # (Native Wayland windows have no handle a client could name.)
  active=$(xprop -root _NET_ACTIVE_WINDOW 2>/dev/null | grep -o '0x[0-9a-f]*' | head -n 1 || true)
  if [ -n "$active" ] && [ "$active" != 0x0 ]; then
    capture "$out/window-active.png" window "$active"
  else
    echo "(no active window reported by a window manager: no window captured)"
  fi
fi

echo
echo "Written:"
for file in "${written[@]}"; do
  size=$(python3 -c 'import struct, sys; d = open(sys.argv[1], "rb").read(24); print("%dx%d" % struct.unpack(">II", d[16:24]))' "$file")
  echo "  ${file#"$root"/}  $size"
done

if [ -s "$out/windows.txt" ]; then
  echo
  python3 "$root/scripts/demo-check.py" "$out"
fi
