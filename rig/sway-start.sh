#!/usr/bin/env bash
# Starts a headless sway (wlroots' headless backend, pixman renderer) whose
# outputs show known pictures through swaybg, 1:1, with Xwayland running.
# Prints shell assignments for WAYLAND_DISPLAY, XDG_RUNTIME_DIR, SWAYSOCK,
# DISPLAY (Xwayland) and RIG_DIR, so:
#
#   eval "$(rig/sway-start.sh)"        HEADLESS-1 1024x768 at 0,0 and
#                                      HEADLESS-2 1280x800 at 1024,0
#   rig/sway-start.sh --outputs N      N outputs (1 to 3; the third is
#                                      800x600 at 2304,0)
#   rig/sway-start.sh --mode WxH [--picture FILE]
#                                      HEADLESS-1 alone at WxH, showing FILE
#                                      (a WxH picture) instead of ours
#   rig/sway-start.sh --scale NAME S   output NAME at integer scale S
#   rig/sway-start.sh --transform NAME T
#                                      output NAME turned (90, 180, 270,
#                                      flipped, flipped-90, ...)
#   rig/sway-start.sh --output-cmd 'NAME ARGS'
#                                      any other sway `output NAME ARGS`
#   rig/sway-start.sh --no-xwayland    no Xwayland (DISPLAY is unset)
#   rig/sway-layout.sh ...             changes scale or transform while it
#                                      runs, with fresh pictures
#   rig/sway-stop.sh                   stops what this started ($RIG_DIR)
#
# A compositor that went away and came back, as in a restarted session:
#
#   rig/sway-stop.sh --keep-dir [--crash]   ends sway (SIGKILL with --crash),
#                                           keeps $RIG_DIR
#   rig/sway-start.sh --again "$RIG_DIR"    a new sway there, same settings
#                                           and XDG_RUNTIME_DIR (the socket
#                                           name comes back as a rule; SWAYSOCK
#                                           and maybe DISPLAY change)
#
# Positions are logical and stay as above whatever the scale or transform,
# so a scaled or turned HEADLESS-1 leaves an uncovered gap before HEADLESS-2.
# Each output shows a picture of its logical size times its scale (the
# buffer swaybg fills; see rig/sway_pictures.py), and $RIG_DIR/outputs lists
# one line per output in sway's order:
#
#   NAME X Y WIDTH HEIGHT SCALE TRANSFORM PICTURE
#
# (position and size logical). The start returns once grim reads every
# output back as its picture, or fails with sway's log.
#
# sway refuses to run as root, so it runs as the system user vsrig (created
# here when missing) with its own XDG_RUNTIME_DIR inside $RIG_DIR; root, who
# runs the tests, reaches that user's sockets all the same. Xwayland admits
# only its own user by default: the rig adds root to its access list.
# The same assignments are kept in $RIG_DIR/env. Needs root.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
rig_user=vsrig
python=/usr/bin/python3
outputs=2
mode=""
picture=""
xwayland=force
extra=()
again=""
while [ $# -gt 0 ]; do
  case "$1" in
    --outputs) outputs="$2"; shift 2 ;;
    --mode) mode="$2"; shift 2 ;;
    --picture) picture="$2"; shift 2 ;;
    --scale) extra+=("output $2 scale $3"); shift 3 ;;
    --transform) extra+=("output $2 transform $3"); shift 3 ;;
    --output-cmd) extra+=("output $2"); shift 2 ;;
    --no-xwayland) xwayland=disable; shift ;;
    --again) again="$2"; shift 2 ;;
    *) echo "rig/sway-start.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
done
case "$outputs" in 1 | 2 | 3) ;; *) echo "rig/sway-start.sh: --outputs takes 1, 2 or 3" >&2; exit 2 ;; esac
if [ -n "$mode" ]; then
  [[ "$mode" =~ ^[0-9]+x[0-9]+$ ]] || { echo "rig/sway-start.sh: --mode takes WxH" >&2; exit 2; }
  outputs=1
fi
if [ -n "$picture" ]; then
  [ -n "$mode" ] || { echo "rig/sway-start.sh: --picture goes with --mode" >&2; exit 2; }
  [ -r "$picture" ] || { echo "rig/sway-start.sh: cannot read $picture" >&2; exit 2; }
  picture=$(realpath "$picture")
fi
if [ -n "$again" ]; then
  case "$again" in
    /tmp/vs-swayrig.*) ;;
    *) echo "rig/sway-start.sh: '$again' is not a sway rig directory" >&2; exit 2 ;;
  esac
  [ -f "$again/config" ] || { echo "rig/sway-start.sh: no rig in '$again'" >&2; exit 2; }
  if pid=$(cat "$again/sway.pid" 2>/dev/null) && { tr '\0' ' ' <"/proc/$pid/cmdline"; } 2>/dev/null | grep -qF "$again/config"; then
    echo "rig/sway-start.sh: the sway of '$again' still runs" >&2
    exit 2
  fi
  grep -qx 'xwayland force' "$again/config" || xwayland=disable
  outputs=$(grep -c '^output HEADLESS-[0-9]* mode' "$again/base-layout")
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "rig/sway-start.sh: run as root (it creates the user $rig_user and runs sway as it)" >&2
  exit 1
fi
for tool in sway swaymsg swaybg grim setpriv; do
  command -v "$tool" >/dev/null || { echo "rig/sway-start.sh: $tool is not installed (scripts/install-deps.sh)" >&2; exit 1; }
done
"$python" -c 'import PIL' 2>/dev/null || { echo "rig/sway-start.sh: $python has no Pillow (python3-pil)" >&2; exit 1; }
if [ "$xwayland" = force ]; then
  for tool in Xwayland xhost xdpyinfo; do
    command -v "$tool" >/dev/null || { echo "rig/sway-start.sh: $tool is not installed (scripts/install-deps.sh)" >&2; exit 1; }
  done
fi

# Two rigs starting at once may both find the user missing: the loser of the
# race sees it exist afterwards.
if ! id -u "$rig_user" >/dev/null 2>&1; then
  useradd --system --user-group --no-create-home --home-dir /nonexistent \
    --shell /usr/sbin/nologin "$rig_user" 2>/dev/null || id -u "$rig_user" >/dev/null
fi
# Xwayland's sockets go there; systemd-tmpfiles makes it on a booted system,
# nothing does in a bare container, and the rig's user could not.
mkdir -p /tmp/.X11-unix
chmod 1777 /tmp/.X11-unix

if [ -n "$again" ]; then
  rig_dir=$again
  # What a crashed sway left would be taken for the new one's sockets (a new
  # sway takes the first free name, the same as before).
  rm -f "$rig_dir/sway.pid" "$rig_dir/run/display" "$rig_dir"/run/sway-ipc.*.sock \
    "$rig_dir"/run/wayland-*
else
  rig_dir=$(mktemp -d /tmp/vs-swayrig.XXXXXX)
fi
chmod 755 "$rig_dir"
run_dir=$rig_dir/run
home_dir=$rig_dir/home
install -d -m 700 -o "$rig_user" -g "$rig_user" "$run_dir" "$home_dir"

fail() {
  echo "rig/sway-start.sh: $*" >&2
  if [ -s "$rig_dir/sway.log" ]; then
    echo "--- last lines of $rig_dir/sway.log:" >&2
    tail -n 30 "$rig_dir/sway.log" >&2
  fi
  RIG_DIR="$rig_dir" "$here/sway-stop.sh" >/dev/null 2>&1 || true
  exit 1
}

if [ -z "$again" ]; then
  sizes=(1024x768 1280x800 800x600)
  positions=("0 0" "1024 0" "2304 0")
  [ -z "$mode" ] || sizes[0]=$mode
  for i in $(seq 1 "$outputs"); do
    echo "output HEADLESS-$i mode ${sizes[$((i - 1))]} position ${positions[$((i - 1))]} scale 1 transform normal"
  done >"$rig_dir/base-layout"
  {
    echo "# Written by rig/sway-start.sh: nothing but the outputs on the screen."
    echo "xwayland $xwayland"
    # No pointer on the pictures (the headless seat has none anyway), no bar
    # (none is configured), no borders around X11 test windows, which float
    # (sway centres them) instead of tiling over a whole output. sway has no
    # animations to turn off.
    echo "seat * hide_cursor 100"
    echo "default_border none"
    echo "default_floating_border none"
    echo "focus_follows_mouse no"
    echo "for_window [shell=\"xwayland\"] floating enable"
    cat "$rig_dir/base-layout"
    for line in "${extra[@]}"; do echo "$line"; done
  } >"$rig_dir/config"
  chmod 644 "$rig_dir/config"
fi

# Not a process group leader (no job control here), so setsid does not fork
# and $! is sway itself.
setsid setpriv --reuid="$rig_user" --regid="$rig_user" --init-groups \
  env -i PATH=/usr/local/bin:/usr/bin:/bin HOME="$home_dir" LANG=C.UTF-8 \
  XDG_RUNTIME_DIR="$run_dir" WLR_BACKENDS=headless WLR_RENDERER=pixman \
  WLR_HEADLESS_OUTPUTS="$outputs" WLR_LIBINPUT_NO_DEVICES=1 \
  sway -c "$rig_dir/config" </dev/null >"$rig_dir/sway.log" 2>&1 &
sway_pid=$!
echo "$sway_pid" >"$rig_dir/sway.pid"
rig_uid=$(id -u "$rig_user")

# sway 1.7 names its socket wayland-1 (it leaves wayland-0 to a parent
# compositor), but take whatever it made.
deadline=$((SECONDS + 20))
socket=""
ipc=""
while [ $SECONDS -lt $deadline ]; do
  kill -0 "$sway_pid" 2>/dev/null || fail "sway exited during start-up"
  for s in "$run_dir"/wayland-*; do
    [ -S "$s" ] && socket=$(basename "$s")
  done
  [ -S "$run_dir/sway-ipc.$rig_uid.$sway_pid.sock" ] && ipc=$run_dir/sway-ipc.$rig_uid.$sway_pid.sock
  if [ -n "$socket" ] && [ -n "$ipc" ] && SWAYSOCK=$ipc timeout 5 swaymsg -t get_version >/dev/null 2>&1; then
    break
  fi
  sleep 0.05
done
if [ -z "$socket" ] || [ -z "$ipc" ]; then fail "no Wayland and IPC sockets in $run_dir within 20 s"; fi
export XDG_RUNTIME_DIR=$run_dir WAYLAND_DISPLAY=$socket SWAYSOCK=$ipc
msg() { timeout 10 swaymsg "$@"; }

display=""
if [ "$xwayland" = force ]; then
  # sway puts Xwayland's display in its own environment: ask a child of it.
  msg exec "echo \"\$DISPLAY\" >$run_dir/display.tmp && mv $run_dir/display.tmp $run_dir/display" >/dev/null ||
    fail "swaymsg exec failed"
  deadline=$((SECONDS + 10))
  until [ -s "$run_dir/display" ]; do
    [ $SECONDS -lt $deadline ] || fail "sway did not tell its Xwayland display within 10 s"
    sleep 0.05
  done
  display=$(cat "$run_dir/display")
  [[ "$display" =~ ^:[0-9]+$ ]] || fail "odd Xwayland display '$display'"
  timeout 15 setpriv --reuid="$rig_user" --regid="$rig_user" --init-groups \
    env -i PATH=/usr/bin:/bin DISPLAY="$display" xhost +si:localuser:root >/dev/null 2>"$rig_dir/xhost.err" ||
    fail "Xwayland on $display did not take root in: $(cat "$rig_dir/xhost.err")"
  DISPLAY=$display timeout 10 xdpyinfo >/dev/null 2>&1 || fail "root cannot open Xwayland's display $display"
fi

{
  printf 'export WAYLAND_DISPLAY=%s\n' "$WAYLAND_DISPLAY"
  printf 'export XDG_RUNTIME_DIR=%s\n' "$XDG_RUNTIME_DIR"
  printf 'export SWAYSOCK=%s\n' "$SWAYSOCK"
  if [ -n "$display" ]; then printf 'export DISPLAY=%s\n' "$display"; else echo 'unset DISPLAY'; fi
  printf 'export RIG_DIR=%s\n' "$rig_dir"
} >"$rig_dir/env"

if [ -n "$picture" ]; then
  cp "$picture" "$rig_dir/given.png"
  chmod 644 "$rig_dir/given.png"
fi
RIG_DIR=$rig_dir "$here/sway-layout.sh" 2>"$rig_dir/layout.err" >&2 || fail "$(cat "$rig_dir/layout.err")"
cat "$rig_dir/env"
