#!/usr/bin/env bash
# Today's wlroots desktops, from Debian chroots (rig/chroot.sh), with our
# Debian 12 build run inside them unchanged (the checkout is mounted at the
# same path), as the compositor's own user:
#
#   sway 1.10 (trixie)   wlroots' screen copy
#   sway 1.12 (sid)      ext-image-copy-capture, also with an output at scale 2
#                        and one turned 90 degrees
#   labwc (sid)          ext-image-copy-capture
#
# On each: the monitor listing against the rig's outputs; `all`, every
# monitor and a region across outputs pixel for pixel against grim (the
# chroot's, reading the same screen through its own code); the protocol the
# library spoke, from WAYLAND_DEBUG=client; and no file left behind by the
# captures. Where the library speaks ext-image-copy-capture, the same program
# also captures under the host's valgrind (memcheck), no error, no leak, and
# under AddressSanitizer and UBSan where the reliability stage made build-asan. The chroots are made once and cached (a few minutes each the
# first time); after that the stage takes about a minute. Prints the table
# rows the README's wlroots section is made of.
#
#   scripts/test-stage-80-wlroots-matrix.sh [ROW...]
#
# runs only the rows named (sway-trixie, sway-sid, labwc-sid), and makes only
# their chroots. Ends with "N passed, N failed".
set -euo pipefail
# shellcheck source=scripts/stage-lib.sh
source "$(dirname "$0")/stage-lib.sh"
build=$(cd "${VS_BUILD_DIR:-$root/build}" && pwd)
cli=$build/cli/vantorel-screenshot
python=/usr/bin/python3
pictures=$root/rig/sway_pictures.py
[ -x "$cli" ] || stage_abort "$cli is built"

# What the library needs at run time, and each desktop's compositor, tools
# and grim.
libs=(libxcb1 libxcb-shm0 libxcb-randr0 libxcb-composite0 libxcb-xinerama0 libxcb-xfixes0 libwayland-client0
  libsystemd0)
wanted=("$@")
[ ${#wanted[@]} -gt 0 ] || wanted=(sway-trixie sway-sid labwc-sid)
wants() { [[ " ${wanted[*]} " == *" $1 "* ]]; }
for w in "${wanted[@]}"; do
  case "$w" in sway-trixie | sway-sid | labwc-sid) ;; *) echo "test-stage-80: no row '$w'" >&2; exit 2 ;; esac
done
for chroot in trixie sid; do
  if [ $chroot = trixie ]; then
    wants sway-trixie || continue
    packages=(sway swaybg grim)
  else
    wants sway-sid || wants labwc-sid || continue
    packages=(sway swaybg grim labwc wlr-randr)
  fi
  start=$SECONDS
  "$root/rig/chroot.sh" ensure $chroot $chroot "${libs[@]}" "${packages[@]}" >/dev/null
  echo "chroot $chroot ready in $((SECONDS - start)) s"
done

# The sanitizer build, brought up to date, where there is one.
asan_cli=""
if [ -e "$root/build-asan/libvantorel-screenshot.so.1" ]; then
  cmake --build "$root/build-asan" -j "$(nproc)" --target vantorel-screenshot-cli >/dev/null
  asan_cli=$root/build-asan/cli/vantorel-screenshot
fi

rows=()
current_rig=""
work=""
stop_row() {
  [ -z "$current_rig" ] || "$root/rig/sway-stop.sh" "$current_rig"
  [ -z "$work" ] || rm -rf "$work"
}
stage_defer stop_row
stage_start=$SECONDS
STAGE_INDENT="  "

# check WHAT COMMAND...: runs a check, counts it, and shows its output only
# when it failed, which fails the row.
check() {
  local before=$failed
  stage_check_quiet "$@"
  [ "$failed" -eq "$before" ] || row_failed=1
}

# The rig's clients (ours and grim) inside the chroot, as the rig's user.
client() {
  "$root/rig/chroot.sh" run "$RIG_CHROOT" --user vsrig --env XDG_RUNTIME_DIR="$XDG_RUNTIME_DIR" \
    --env WAYLAND_DISPLAY="$WAYLAND_DISPLAY" "$@"
}

# ours_vs_grim NAME 'OUR ARGUMENTS' X Y WIDTH HEIGHT [GRIM_ARGUMENT...]: our
# capture of that logical rectangle against the screen made of grim's
# captures of each output ($work/grim), and where every output is at scale 1
# also against grim's own capture of it, taken with the arguments given.
ours_vs_grim() {
  local name=$1 ours_args=$2 x=$3 y=$4 w=$5 h=$6
  shift 6
  # shellcheck disable=SC2086
  client -- "$cli" $ours_args "$work/$name.png" || { echo "vantorel-screenshot $ours_args failed"; return 1; }
  "$python" "$pictures" outputs "$work/$name.png" "$x" "$y" "$w" "$h" "$RIG_DIR/outputs" "$work/grim" ||
    return 1
  [ "$scaled" = 0 ] || return 0
  client -- grim "$@" "$work/$name.grim.png" || { echo "grim $* failed"; return 1; }
  "$python" "$pictures" grim "$work/$name.png" "$work/$name.grim.png"
}

# The files the rig's user owns where a capture could leave one.
# Other work on the machine adds and removes files in /tmp as find walks it:
# find's complaints about those are no failure.
user_files() {
  { find /tmp /dev/shm "$chroot_home" "$XDG_RUNTIME_DIR" -xdev -user "$uid" \
    -not -path "$work/*" -not -path "$work" 2>/dev/null || true; } | sort
}

# Checks the screen as it is now: monitors, all, each monitor, a region
# across outputs.
check_screen() {
  local layout=$1 name x y w h scale
  local slug=${layout//[^a-z0-9]/_}
  scaled=0
  rm -rf "$work/grim"
  install -d -o "$uid" "$work/grim"
  while read -r name x y w h scale _; do
    [ "$scale" = 1 ] || scaled=1
    client -- grim -o "$name" "$work/grim/$name.png" || echo "  grim -o $name failed"
  done <"$RIG_DIR/outputs"
  client -- "$cli" monitors >"$work/monitors.json" 2>"$work/monitors.err" || true
  check "$layout: monitors" "$python" "$pictures" monitors "$work/monitors.json" "$RIG_DIR/outputs"
  # The screen's box, each monitor as listed, and a rectangle from the
  # lower right corner of the leftmost output into the next one: the seam,
  # and whatever gap or uncovered strip lies between and below them.
  local geometry
  geometry=$("$python" - "$RIG_DIR/outputs" "$work/monitors.json" <<'EOF'
import json, sys
outs = sorted(([int(v) for v in l.split()[1:5]] for l in open(sys.argv[1])), key=lambda o: o[0])
left, top = min(o[0] for o in outs), min(o[1] for o in outs)
right, bottom = max(o[0] + o[2] for o in outs), max(o[1] + o[3] for o in outs)
print("all", left, top, right - left, bottom - top)
try:
    for m in json.load(open(sys.argv[2])):
        print("monitor", m["index"], m["name"], m["x"], m["y"], m["width"], m["height"])
except ValueError:
    pass
(x1, y1, w1, h1), (x2, y2, w2, h2) = outs[0], outs[1]
rx, ry = x1 + w1 - 40, min(y1 + h1, y2 + h2) - 40
print("region", rx, ry, x2 + 40 - rx, min(bottom, ry + 80) - ry)
EOF
)
  local kind rest index
  while read -r kind rest; do
    case $kind in
      all)
        read -r x y w h <<<"$rest"
        check "$layout: all" ours_vs_grim "$slug-all" "all" "$x" "$y" "$w" "$h"
        ;;
      monitor)
        read -r index name x y w h <<<"$rest"
        check "$layout: monitor $index ($name)" ours_vs_grim "$slug-monitor-$index" "monitor $index" \
          "$x" "$y" "$w" "$h" -o "$name"
        ;;
      region)
        read -r x y w h <<<"$rest"
        check "$layout: region ($x,$y ${w}x$h)" ours_vs_grim "$slug-region" "region $x $y $w $h" \
          "$x" "$y" "$w" "$h" -g "$x,$y ${w}x$h"
        ;;
    esac
  done <<<"$geometry"
}

# Captures through the compositor under valgrind, from the host (the same
# program; the chroots have no valgrind).
memcheck() {
  local args
  for args in "all" "monitor 1" "region 10 20 1500 500"; do
    # shellcheck disable=SC2086
    valgrind -q --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
      "$cli" $args "$work/valgrind.png" || return 1
  done
}

sanitized() {
  local args
  for args in "all" "monitor 1" "region 10 20 1500 500"; do
    # shellcheck disable=SC2086
    ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      "$asan_cli" $args "$work/asan.png" || return 1
  done
}

# The protocol the library spoke for `all`: 'ext' or 'wlr'.
protocol_used() {
  client --env WAYLAND_DEBUG=client -- "$cli" all "$work/debug.png" 2>"$work/debug.log" >/dev/null ||
    { echo "capture failed: $(grep -v '^\[' "$work/debug.log" | tail -n 3)"; return 1; }
  local ext=0 wlr=0
  grep -Eq 'ext_image_copy_capture_manager_v1[@#][0-9]+\.create_session' "$work/debug.log" && ext=1
  grep -Eq 'zwlr_screencopy_manager_v1[@#][0-9]+\.capture_output' "$work/debug.log" && wlr=1
  if [ $ext = 1 ] && [ $wlr = 0 ]; then echo ext; elif [ $wlr = 1 ] && [ $ext = 0 ]; then echo wlr; else
    echo "neither or both (ext $ext, wlr $wlr)"
    return 1
  fi
}

# row CHROOT COMPOSITOR PROTOCOL [LAYOUT_CHANGES...]
row() {
  local chroot=$1 compositor=$2 want=$3
  shift 3
  local start=$SECONDS env
  row_failed=0
  env=$(timeout 120 "$root/rig/sway-start.sh" --chroot "$chroot" --compositor "$compositor") ||
    { stage_fail "the $compositor rig in $chroot starts"; return; }
  eval "$env"
  current_rig=$RIG_DIR
  local version
  version=$("$root/rig/chroot.sh" run "$chroot" -- dpkg-query -W -f="\${Version}" "$compositor")
  echo "=== $compositor $version ($chroot) in $RIG_DIR, up in $((SECONDS - start)) s"
  work=$(mktemp -d /tmp/vs-matrix.XXXXXX)
  uid=$(cat "$RIG_DIR/user")
  chown "$uid" "$work"
  chroot_home=$("$root/rig/chroot.sh" path "$chroot")/home/vsrig
  local before
  before=$(user_files)

  local used
  if used=$(protocol_used) && [ "$used" = "$want" ]; then
    stage_pass "protocol $used"
  else
    stage_fail "protocol" "wanted $want, got $used"
    row_failed=1
  fi
  check_screen "scale 1"
  local layouts="two outputs at scale 1"
  local change
  for change in "$@"; do
    # shellcheck disable=SC2086
    if RIG_DIR=$RIG_DIR "$root/rig/sway-layout.sh" --reset $change >"$work/layout.log" 2>&1; then
      check_screen "$change"
      layouts="$layouts; ${change#--}"
    else
      stage_fail "layout $change" "$(cat "$work/layout.log")"
      row_failed=1
    fi
  done
  check "no file left behind" diff <(echo "$before") <(user_files)
  if [ "$want" = ext ]; then
    check "valgrind memcheck" memcheck
    if [ -n "$asan_cli" ]; then check "AddressSanitizer + UBSan" sanitized; fi
  fi
  "$root/rig/sway-stop.sh" "$RIG_DIR" || echo "  (the rig in $RIG_DIR did not stop cleanly)"
  current_rig=""
  rm -rf "$work"
  echo "  done in $((SECONDS - start)) s"
  local protocol
  if [ "$want" = ext ]; then protocol="ext-image-copy-capture-v1"; else protocol="zwlr-screencopy-unstable-v1"; fi
  [ $row_failed = 1 ] || rows+=("| $compositor | $version | Debian $chroot | $protocol | $layouts | stage 80 |")
}

if wants sway-trixie; then row trixie sway wlr; fi
if wants sway-sid; then row sid sway ext "--scale HEADLESS-1 2" "--transform HEADLESS-1 90"; fi
if wants labwc-sid; then row sid labwc ext; fi

echo "=== the wlroots rows ($((SECONDS - stage_start)) s)"
echo "| compositor | version | system | protocol | layouts | proven by |"
echo "|---|---|---|---|---|---|"
for r in "${rows[@]}"; do echo "$r"; done
STAGE_INDENT=""
stage_end
