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
#   rig/sway-start.sh --pointer        the pointer never hidden (it has no
#                                      device: tests/wayland/virtual_pointer.c
#                                      makes one, for as long as it runs).
#                                      Where it is drawn is the compositor's
#                                      affair: sway 1.7's headless outputs
#                                      draw it into every picture, sway
#                                      1.12's only into captures that ask
#                                      for it (and, once one asked, into all
#                                      later ones). Forcing software cursors
#                                      (WLR_NO_HARDWARE_CURSORS) would put it
#                                      into every picture on both.
#   rig/sway-start.sh --chroot NAME    the compositor and its tools (swaymsg,
#                                      grim, swaybg, wlr-randr) from the
#                                      chroot NAME (rig/chroot.sh, made with
#                                      them beforehand), run there as the
#                                      chroot's user vsrig; no Xwayland
#   rig/sway-start.sh --compositor labwc
#                                      labwc instead of sway (the same
#                                      outputs through wlr-randr, the pictures
#                                      through swaybg clients; no Xwayland,
#                                      no SWAYSOCK, and no layout changes)
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
# output back as its picture, or fails with the compositor's log. With
# --chroot the assignments include RIG_CHROOT (the chroot's name), so a test
# runs its clients there too: rig/chroot.sh run "$RIG_CHROOT" --env ... --.
#
# sway refuses to run as root, so it runs as the system user vsrig (created
# here when missing; in a chroot, the chroot's own user of that name) with
# its own XDG_RUNTIME_DIR (mode 0700) inside $RIG_DIR; root, who runs the
# tests, reaches that user's sockets all the same. Xwayland admits
# only its own user by default: the rig adds root to its access list.
# The same assignments are kept in $RIG_DIR/env. Needs root.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=rig/wlroots-lib.sh
. "$here/wlroots-lib.sh"
rig_user=vsrig
chroot_uid=59817
python=/usr/bin/python3
outputs=2
mode=""
picture=""
xwayland=force
extra=()
again=""
pointer=""
chroot=""
compositor=sway
while [ $# -gt 0 ]; do
  case "$1" in
    --outputs) outputs="$2"; shift 2 ;;
    --mode) mode="$2"; shift 2 ;;
    --picture) picture="$2"; shift 2 ;;
    --scale) extra+=("output $2 scale $3"); shift 3 ;;
    --transform) extra+=("output $2 transform $3"); shift 3 ;;
    --output-cmd) extra+=("output $2"); shift 2 ;;
    --no-xwayland) xwayland=disable; shift ;;
    --pointer) pointer=1; shift ;;
    --again) again="$2"; shift 2 ;;
    --chroot) chroot="$2"; xwayland=disable; shift 2 ;;
    --compositor) compositor="$2"; shift 2 ;;
    *) echo "rig/sway-start.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
done
case "$outputs" in 1 | 2 | 3) ;; *) echo "rig/sway-start.sh: --outputs takes 1, 2 or 3" >&2; exit 2 ;; esac
case "$compositor" in
  sway) ;;
  labwc)
    xwayland=disable
    [ ${#extra[@]} -eq 0 ] || { echo "rig/sway-start.sh: labwc takes no --scale, --transform or --output-cmd" >&2; exit 2; }
    ;;
  *) echo "rig/sway-start.sh: --compositor takes sway or labwc" >&2; exit 2 ;;
esac
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
  chroot=$(rig_chroot "$again")
  compositor=$(cat "$again/compositor" 2>/dev/null || echo sway)
  outputs=$(grep -c '^output HEADLESS-[0-9]* mode' "$again/base-layout")
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "rig/sway-start.sh: run as root (it creates the user $rig_user and runs sway as it)" >&2
  exit 1
fi
if [ "$compositor" = sway ]; then tools=(sway swaymsg swaybg grim); else tools=(labwc wlr-randr swaybg grim); fi
if [ -n "$chroot" ]; then
  chroot_dir=$("$here/chroot.sh" path "$chroot")
  [ -f "$chroot_dir/.vs-suite" ] || { echo "rig/sway-start.sh: no chroot $chroot (rig/chroot.sh ensure $chroot SUITE ${tools[*]})" >&2; exit 1; }
  for tool in "${tools[@]}"; do
    [ -x "$chroot_dir/usr/bin/$tool" ] || { echo "rig/sway-start.sh: $tool is not installed in the chroot $chroot (rig/chroot.sh ensure $chroot SUITE ${tools[*]})" >&2; exit 1; }
  done
else
  for tool in "${tools[@]}" setpriv; do
    command -v "$tool" >/dev/null || { echo "rig/sway-start.sh: $tool is not installed (scripts/install-deps.sh)" >&2; exit 1; }
  done
fi
"$python" -c 'import PIL' 2>/dev/null || { echo "rig/sway-start.sh: $python has no Pillow (python3-pil)" >&2; exit 1; }
if [ "$xwayland" = force ]; then
  for tool in Xwayland xhost xdpyinfo; do
    command -v "$tool" >/dev/null || { echo "rig/sway-start.sh: $tool is not installed (scripts/install-deps.sh)" >&2; exit 1; }
  done
fi

# Two rigs starting at once may both find the user missing: the loser of the
# race sees it exist afterwards. A chroot's user is the chroot's own, with a
# uid of its own (rigs of other desktops in the same chroot take the first
# free ones), so what it owns on the shared /tmp is known as its.
if [ -n "$chroot" ]; then
  if ! chroot "$chroot_dir" id -u "$rig_user" >/dev/null 2>&1; then
    chroot "$chroot_dir" useradd --create-home --uid "$chroot_uid" --user-group --shell /bin/bash \
      "$rig_user" 2>/dev/null || chroot "$chroot_dir" id -u "$rig_user" >/dev/null
  fi
  rig_uid=$("$here/chroot.sh" run "$chroot" --user "$rig_user" -- id -u)
else
  if ! id -u "$rig_user" >/dev/null 2>&1; then
    useradd --system --user-group --no-create-home --home-dir /nonexistent \
      --shell /usr/sbin/nologin "$rig_user" 2>/dev/null || id -u "$rig_user" >/dev/null
  fi
  rig_uid=$(id -u "$rig_user")
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
    "$rig_dir"/run/wayland-* "$rig_dir"/swaybg-*.pid
else
  rig_dir=$(mktemp -d /tmp/vs-swayrig.XXXXXX)
fi
chmod 755 "$rig_dir"
# A start that fails or is interrupted (the EXIT trap runs on SIGINT, SIGTERM
# and SIGHUP too, with $? not telling) stops what it started: nobody else knows the rig yet.
start_done=0
stop_unless_started() {
  [ "$start_done" = 1 ] || RIG_DIR="$rig_dir" "$here/sway-stop.sh" >/dev/null 2>&1 || true
}
trap stop_unless_started EXIT
run_dir=$rig_dir/run
home_dir=$rig_dir/home
install -d -m 700 -o "$rig_uid" -g "$rig_uid" "$run_dir" "$home_dir"
echo "$rig_uid" >"$rig_dir/user"
echo "$compositor" >"$rig_dir/compositor"
if [ -n "$chroot" ]; then echo "$chroot" >"$rig_dir/chroot"; else rm -f "$rig_dir/chroot"; fi

fail() {
  echo "rig/sway-start.sh: $*" >&2
  if [ -s "$rig_dir/sway.log" ]; then
    echo "--- last lines of $rig_dir/sway.log ($compositor):" >&2
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
    [ -n "$pointer" ] || echo "seat * hide_cursor 100"
    echo "default_border none"
    echo "default_floating_border none"
    echo "focus_follows_mouse no"
    echo "for_window [shell=\"xwayland\"] floating enable"
    cat "$rig_dir/base-layout"
    for line in "${extra[@]}"; do echo "$line"; done
  } >"$rig_dir/config"
  chmod 644 "$rig_dir/config"
  if [ "$compositor" = labwc ]; then
    # labwc reads a directory: nothing started with it, windows centred. The
    # outputs come from wlr-randr once it runs, the pictures from swaybg
    # clients (sway-layout.sh); the sway config stays as the record of the
    # layout.
    mkdir -p "$rig_dir/labwc"
    printf '%s\n' '<?xml version="1.0"?>' '<labwc_config>' \
      '  <placement><policy>center</policy></placement>' '</labwc_config>' >"$rig_dir/labwc/rc.xml"
    : >"$rig_dir/labwc/autostart"
    chmod -R a+rX "$rig_dir/labwc"
  fi
fi

# The compositor's pid is kept as sway.pid whichever it is: its command line
# names a file of the rig's, which is how sway-stop.sh knows it.
if [ "$compositor" = sway ]; then
  compositor_cmd=(sway -c "$rig_dir/config")
else
  compositor_cmd=(labwc -C "$rig_dir/labwc")
fi
rig_user_start "$rig_dir" "$rig_dir/sway.log" WLR_BACKENDS=headless WLR_RENDERER=pixman \
  WLR_HEADLESS_OUTPUTS="$outputs" WLR_LIBINPUT_NO_DEVICES=1 "${compositor_cmd[@]}"
sway_pid=$rig_started
echo "$sway_pid" >"$rig_dir/sway.pid"

# sway 1.7 names its socket wayland-1 (it leaves wayland-0 to a parent
# compositor), but take whatever it made.
# A loaded machine and a chroot's tools (each started through chroot.sh)
# make this slower than on an idle host: a generous bound.
deadline=$((SECONDS + 40))
socket=""
ipc=""
while [ $SECONDS -lt $deadline ]; do
  kill -0 "$sway_pid" 2>/dev/null || fail "sway exited during start-up"
  for s in "$run_dir"/wayland-*; do
    [ -S "$s" ] && socket=$(basename "$s")
  done
  if [ "$compositor" = labwc ]; then
    if [ -n "$socket" ] && XDG_RUNTIME_DIR=$run_dir WAYLAND_DISPLAY=$socket \
      rig_tool "$rig_dir" timeout 5 wlr-randr >/dev/null 2>&1; then
      break
    fi
  else
    [ -S "$run_dir/sway-ipc.$rig_uid.$sway_pid.sock" ] && ipc=$run_dir/sway-ipc.$rig_uid.$sway_pid.sock
    if [ -n "$socket" ] && [ -n "$ipc" ] && XDG_RUNTIME_DIR=$run_dir WAYLAND_DISPLAY=$socket SWAYSOCK=$ipc \
      rig_tool "$rig_dir" timeout 5 swaymsg -t get_version >/dev/null 2>&1; then
      break
    fi
  fi
  sleep 0.05
done
if [ -z "$socket" ] || { [ "$compositor" = sway ] && [ -z "$ipc" ]; }; then
  fail "no Wayland socket (and IPC socket, for sway) in $run_dir within 40 s"
fi
export XDG_RUNTIME_DIR=$run_dir WAYLAND_DISPLAY=$socket SWAYSOCK=$ipc
msg() { rig_tool "$rig_dir" timeout 10 swaymsg "$@"; }

if [ "$compositor" = labwc ]; then
  # wlroots' headless outputs start at 1920x1080 side by side: the layout
  # written for sway, through wlr-output-management.
  randr=()
  while read -r _ name _ size _ x y _ _ _ _; do
    randr+=(--output "$name" --custom-mode "$size" --pos "$x,$y" --scale 1 --transform normal)
  done <"$rig_dir/base-layout"
  rig_tool "$rig_dir" timeout 10 wlr-randr "${randr[@]}" >"$rig_dir/wlr-randr.out" 2>&1 ||
    fail "wlr-randr could not lay the outputs out: $(cat "$rig_dir/wlr-randr.out")"
fi

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
  if [ -n "$ipc" ]; then printf 'export SWAYSOCK=%s\n' "$SWAYSOCK"; else echo 'unset SWAYSOCK'; fi
  if [ -n "$display" ]; then printf 'export DISPLAY=%s\n' "$display"; else echo 'unset DISPLAY'; fi
  printf 'export RIG_DIR=%s\n' "$rig_dir"
  if [ -n "$chroot" ]; then printf 'export RIG_CHROOT=%s\n' "$chroot"; else echo 'unset RIG_CHROOT'; fi
} >"$rig_dir/env"

if [ -n "$picture" ]; then
  cp "$picture" "$rig_dir/given.png"
  chmod 644 "$rig_dir/given.png"
fi
RIG_DIR=$rig_dir "$here/sway-layout.sh" 2>"$rig_dir/layout.err" >&2 || fail "$(cat "$rig_dir/layout.err")"
start_done=1
cat "$rig_dir/env"
