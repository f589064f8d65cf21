#!/usr/bin/env bash
# Starts Xorg on the dummy video driver on a free display and lays out its
# RandR outputs. Prints shell assignments for DISPLAY and RIG_DIR, so:
#
#   eval "$(rig/start.sh)"             DUMMY0 1280x800 primary at 1024,0 and
#                                      DUMMY1 1024x768 left of it at 0,0
#   eval "$(rig/start.sh --mode WxH)"  DUMMY0 alone at WxH (e.g. 1920x1080)
#   rig/start.sh --depth 16 ...        another colour depth (default 24)
#   rig/start.sh --no-randr            a server without RandR (no layout)
#   rig/start.sh --display N           on display :N instead of a free one
#   rig/stop.sh                        stops what this started ($RIG_DIR)
#
# The same assignments are kept in $RIG_DIR/env. Needs root (or sudo -n).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
mode=""
depth=24
randr=+extension
display=()
while [ $# -gt 0 ]; do
  case "$1" in
    --mode) mode="$2"; shift 2 ;;
    --mode=*) mode="${1#--mode=}"; shift ;;
    --depth) depth="$2"; shift 2 ;;
    --no-randr) randr=-extension; shift ;;
    --display) display=(":${2#:}"); shift 2 ;;
    *) echo "rig/start.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
done

xorg=/usr/lib/xorg/Xorg
[ -x "$xorg" ] || xorg=$(command -v Xorg)
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo -n); fi

rig_dir=$(mktemp -d /tmp/vs-rig.XXXXXX)
chmod 755 "$rig_dir"
# A start that fails or is interrupted (the EXIT trap runs on SIGINT, SIGTERM
# and SIGHUP too, with $? not telling) stops what it started: nobody else knows the rig yet.
start_done=0
stop_unless_started() {
  [ "$start_done" = 1 ] || RIG_DIR="$rig_dir" "$here/stop.sh" >/dev/null 2>&1 || true
}
trap stop_unless_started EXIT

fail() {
  echo "rig/start.sh: $*" >&2
  if [ -f "$rig_dir/xorg.log" ]; then grep -E '\(EE\)' "$rig_dir/xorg.log" | tail -n 20 >&2 || true; fi
  RIG_DIR="$rig_dir" "$here/stop.sh" >/dev/null 2>&1 || true
  exit 1
}

# -displayfd lets the server pick a free display number itself (unless one is
# given) and writes it once it accepts clients: no race on lock files, no
# fixed sleep.
: >"$rig_dir/display"
setsid "${sudo_cmd[@]}" "$xorg" "${display[@]}" -displayfd 3 -config "$here/xorg-dummy.conf" \
  -configdir "$rig_dir/conf.d" -logfile "$rig_dir/xorg.log" -noreset -nolisten tcp \
  "$randr" RANDR +extension Composite -novtswitch -depth "$depth" \
  3>"$rig_dir/display" </dev/null >"$rig_dir/xorg.out" 2>&1 &
xorg_pid=$!
echo "$xorg_pid" >"$rig_dir/xorg.pid"

for _ in $(seq 1 300); do
  if grep -q '^[0-9][0-9]*$' "$rig_dir/display" 2>/dev/null; then break; fi
  kill -0 "$xorg_pid" 2>/dev/null || fail "Xorg exited during start-up (log: $rig_dir/xorg.log)"
  sleep 0.05
done
number=$(head -n 1 "$rig_dir/display")
[ -n "$number" ] || fail "Xorg did not report a display within 15 s"
export DISPLAY=":$number"

# Adds WxH to an output's modes, creating the mode first when the server does
# not know it (the dummy driver takes any timing in the monitor's ranges).
ensure_mode() {
  local output=$1 size=$2 w h
  w=${size%x*}
  h=${size#*x}
  if ! xrandr --query | grep -qE "^[[:space:]]+${size}[[:space:]]"; then
    local htot=$((w + 160)) vtot=$((h + 30))
    local clock=$((htot * vtot * 60 / 1000))
    xrandr --newmode "$size" "$((clock / 1000)).$(printf '%03d' $((clock % 1000)))" \
      "$w" "$((w + 48))" "$((w + 80))" "$htot" "$h" "$((h + 3))" "$((h + 8))" "$vtot" \
      +hsync -vsync
  fi
  xrandr --addmode "$output" "$size" 2>/dev/null || true
}

if [ "$randr" = -extension ]; then
  :
elif [ -z "$mode" ]; then
  ensure_mode DUMMY0 1280x800
  ensure_mode DUMMY1 1024x768
  xrandr --output DUMMY0 --mode 1280x800 --primary \
    --output DUMMY1 --mode 1024x768 --left-of DUMMY0 || fail "xrandr layout failed"
else
  ensure_mode DUMMY0 "$mode"
  xrandr --output DUMMY0 --mode "$mode" --pos 0x0 --primary --fb "$mode" \
    || fail "xrandr mode $mode failed"
fi

start_done=1
printf 'export DISPLAY=%s\nexport RIG_DIR=%s\n' "$DISPLAY" "$rig_dir" | tee "$rig_dir/env"
