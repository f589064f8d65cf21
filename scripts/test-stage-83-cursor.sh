#!/usr/bin/env bash
# The pointer in the picture, with a cursor of our own (tests/x11/pointer_check.py):
#   X11 (Xvfb): -c shows exactly the cursor's shape with its hotspot on the
#     pointer, over a solid root; without -c nothing; Python's
#     grab(cursor=True) has the CLI's pixels; a server without XFixes
#     refuses -c with its code (106);
#   sway (the host's, and sway 1.12 from the sid chroot where it is made):
#     without -c the picture equals grim's, with -c grim -c's, and the
#     library asks the compositor for the pointer exactly when -c is given
#     (WAYLAND_DEBUG: wlroots' overlay_cursor, ext-image-copy-capture's
#     paint_cursors); the portal layer refuses -c on GNOME (211) before
#     asking any portal, and only there.
# The headless compositor has no pointer device: a virtual pointer
# (tests/wayland/virtual_pointer.c) makes one, on a rig that never hides it
# (rig/sway-start.sh --pointer). sway 1.7's headless outputs draw the pointer
# into every picture, asked or not; sway 1.12 draws it only into captures
# that ask, but once one asked, into every later capture of that output: the
# pictures without it come first. Either way the -c picture is the output's
# own with a pointer over it at its place. Builds on build/ (or
# $VS_BUILD_DIR). Under two minutes. Ends with "N passed, N failed".
set -euo pipefail
# shellcheck source=scripts/stage-lib.sh
source "$(dirname "$0")/stage-lib.sh"
# shellcheck source=rig/wlroots-lib.sh
source "$root/rig/wlroots-lib.sh"
build=$(cd "${VS_BUILD_DIR:-$root/build}" && pwd)
cli=$build/cli/vantorel-screenshot
pointer=$build/tests/wayland/vs-virtual-pointer
check=("/usr/bin/python3" "$root/tests/x11/pointer_check.py")
work=$(mktemp -d /tmp/vs-stage83.XXXXXX)
chmod 755 "$work"
stage_defer rm -rf "$work"
export VANTOREL_SCREENSHOT_LIBRARY=$build/libvantorel-screenshot.so.1

# --- X11 ---------------------------------------------------------------------

echo "=== X11 (Xvfb), a bitmap cursor of our own on the root"
stage_xvfb -noreset -screen 0 640x480x24
"${check[@]}" xbm "$work"
xsetroot -solid '#204060' -cursor "$work/cursor.xbm" "$work/mask.xbm" -fg '#ff00ff' -bg '#00ff00'
# The capture without -c and with it, each checked against the cursor's own
# shape.
capture_shows() { # capture_shows none|shape X Y W H PX PY [-c]
  local file=$work/$1.png
  "$cli" "${@:8}" region "$2" "$3" "$4" "$5" "$file" &&
    "${check[@]}" shape "$file" "$2" "$3" "$6" "$7" 204060 "--$1"
}
# x y width height pointer_x pointer_y: inside, across the left and top
# edges, at the screen's bottom-right corner (the cursor partly off it).
for case in "180 130 60 60 200 150" "300 200 50 40 299 198" "600 440 40 40 638 478"; do
  read -r x y w h px py <<<"$case"
  "${check[@]}" warp "$px" "$py"
  where="X11 region $x,$y ${w}x$h, pointer at $px,$py"
  stage_check "$where: nothing without -c" capture_shows none "$x" "$y" "$w" "$h" "$px" "$py"
  stage_check "$where: -c shows the shape at the hotspot" \
    capture_shows shape "$x" "$y" "$w" "$h" "$px" "$py" -c
  stage_check "$where: Python's grab(cursor=True) equals the CLI's -c" \
    "${check[@]}" python "$work/shape.png" "$x" "$y" "$w" "$h"
done
stage_xvfb_stop

echo "=== X11 without XFixes"
stage_xvfb -noreset -extension XFIXES -screen 0 320x240x24
refused_without_xfixes() {
  local out
  if out=$("$cli" -c region 0 0 10 10 "$work/none.png" 2>&1); then
    echo "-c succeeded without XFixes" >&2
    return 1
  fi
  echo "$out"
  grep -q "^vantorel-screenshot: the X server has no XFixes extension.* (.*, error 106)$" <<<"$out" &&
    "$cli" region 0 0 10 10 "$work/none.png"
}
stage_check "X11 without XFixes: -c fails with 106, the capture without it works" refused_without_xfixes
stage_xvfb_stop

# --- sway --------------------------------------------------------------------

lib_equals_grim() { # lib_equals_grim [-c]
  local tag=${1:-}
  "$cli" "$@" "$work/lib$tag.png" && rig_tool "$RIG_DIR" grim "$@" "$work/grim$tag.png" &&
    "${check[@]}" same "$work/lib$tag.png" "$work/grim$tag.png"
}

# asks_for_pointer REQUEST 0|1 [-c]: the library's copy requests (REQUEST,
# up to the argument that says whether to draw the pointer) all carry 0 or 1.
asks_for_pointer() {
  WAYLAND_DEBUG=client "$cli" "${@:3}" "$work/debug.png" 2>"$work/debug.log" >/dev/null || return 1
  local asked
  asked=$(grep -Ec "$1" "$work/debug.log" || true)
  [ "$asked" -gt 0 ] && [ "$(grep -Ec "$1, $2[,)]" "$work/debug.log" || true)" = "$asked" ]
}

# sway_pointer_checks LABEL PROTOCOL_REQUEST PLAIN: on the rig in this shell,
# with the pointer at (300, 200); PLAIN says whether this compositor draws it
# into pictures that do not ask (pointer) or not (none).
sway_pointer_checks() {
  local label=$1 request=$2 plain=$3
  # The virtual pointer is held for as long as its standard input is open:
  # without the device the compositor draws no pointer at all.
  mkfifo "$work/hold"
  "$pointer" 300 200 1024 768 <"$work/hold" >"$work/pointer.out" 2>&1 &
  local pointer_pid=$!
  exec 7>"$work/hold"
  local i
  for i in $(seq 1 50); do
    grep -q ready "$work/pointer.out" 2>/dev/null && break
    sleep 0.1
  done
  if ! grep -q ready "$work/pointer.out"; then
    stage_fail "$label: a virtual pointer" "$(cat "$work/pointer.out")"
  fi
  # What the output shows, as the rig made it.
  local shown
  shown=$(awk '{print $8}' "$RIG_DIR/outputs")
  # Without the pointer first: sway 1.12 keeps drawing it once asked.
  stage_check "$label: without -c equals grim" lib_equals_grim
  if [ "$plain" = none ]; then
    stage_check "$label: without -c no pointer" "${check[@]}" same "$work/lib.png" "$shown"
  else
    stage_check "$label: without -c the pointer all the same (the compositor draws it into every picture)" \
      "${check[@]}" pointer "$work/lib.png" "$shown" 300 200
  fi
  stage_check "$label: without -c the compositor is not asked for the pointer" \
    asks_for_pointer "$request" 0
  stage_check "$label: -c equals grim -c" lib_equals_grim -c
  stage_check "$label: -c shows the pointer where it is, nothing else changed" \
    "${check[@]}" pointer "$work/lib-c.png" "$shown" 300 200
  stage_check "$label: -c asks the compositor for the pointer" asks_for_pointer "$request" 1 -c
  exec 7>&-
  wait "$pointer_pid" || true
  rm -f "$work/hold"
}

echo "=== sway $(sway --version | awk '{print $3}') on the host (wlroots' screen copy)"
eval "$("$root/rig/sway-start.sh" --outputs 1 --no-xwayland --pointer)"
stage_defer "$root/rig/sway-stop.sh" "$RIG_DIR"
sway_rig_stop=$STAGE_DEFERRED
sway_pointer_checks "sway (host)" 'zwlr_screencopy_manager_v1[@#][0-9]+\.capture_output_region\(new id [^,]+' \
  pointer

# The portal takes no wish about the pointer: on GNOME -c is refused before
# any portal is asked (no bus here); on another desktop it is asked.
portal_refusal() {
  local out
  out=$(VANTOREL_SCREENSHOT_BACKEND=portal XDG_CURRENT_DESKTOP=ubuntu:GNOME \
    DBUS_SESSION_BUS_ADDRESS=unix:path=$work/no-bus "$cli" -c "$work/portal.png" 2>&1) && return 1
  echo "$out"
  grep -q "this desktop's portal cannot put the pointer into its picture (.*, error 211)$" <<<"$out" || return 1
  out=$(VANTOREL_SCREENSHOT_BACKEND=portal XDG_CURRENT_DESKTOP=KDE \
    DBUS_SESSION_BUS_ADDRESS=unix:path=$work/no-bus "$cli" -c "$work/portal.png" 2>&1) && return 1
  echo "$out"
  ! grep -q ", error 211)" <<<"$out"
}
stage_check "portal layer: -c refused on GNOME (211) before any portal is asked, elsewhere not" \
  portal_refusal
stage_undefer "$sway_rig_stop"

if "$root/rig/chroot.sh" ensure sid sid libxcb1 libxcb-shm0 libxcb-randr0 libxcb-composite0 \
  libxcb-xinerama0 libxcb-xfixes0 libwayland-client0 libsystemd0 sway swaybg grim >/dev/null; then
  echo "=== sway 1.12 from the sid chroot (ext-image-copy-capture)"
  eval "$("$root/rig/sway-start.sh" --outputs 1 --chroot sid --pointer)"
  stage_defer "$root/rig/sway-stop.sh" "$RIG_DIR"
  sway_rig_stop=$STAGE_DEFERRED
  sway_pointer_checks "sway (sid)" \
    'ext_image_copy_capture_manager_v1[@#][0-9]+\.create_session\(new id [^,]+, [^,]+' none
  stage_undefer "$sway_rig_stop"
else
  echo "(no sid chroot with sway 1.12 could be had: the host's sway alone)"
fi
stage_end
