#!/usr/bin/env bash
# Every window, listed and captured by its id:
#
#   X11      on an Xvfb of its own, without a window manager and under
#            openbox: windows of known content and titles listed with
#            xwininfo's geometry, UTF-8 titles, class, process, focus and
#            minimized, captured exactly by their listed ids and by title;
#            Python's list equal to the command's (tests/x11/window_list_check.py)
#   Wayland  sway 1.12 and labwc 0.20 from the sid chroot (as stage 80 runs
#            them): a native window of our own (vs-toplevel-client) listed
#            with its title and focus and captured by its listed id
#            pixel-equal to `grim -T`, then again while a fullscreen window
#            covers it, which `-u` then captures as the focused one;
#            Python's list equal to the command's there too; sway 1.10 from
#            the trixie chroot lists the window but cannot capture single
#            windows: the capture fails with code 124 and its reason
#
# Reuses the built tree ($VS_BUILD_DIR or build/) and the sid chroot (made
# and trixie chroots (made by rig/chroot.sh when missing, a few minutes the
# first time); about 15 s after that. Ends with "N passed, N failed".
set -euo pipefail
# shellcheck source=scripts/stage-lib.sh
source "$(dirname "$0")/stage-lib.sh"
build=$(cd "${VS_BUILD_DIR:-$root/build}" && pwd)
cli=$build/cli/vantorel-screenshot
toplevel=$build/tests/wayland/vs-toplevel-client
host=$build/tests/x11/vs-window-host
pictures=$root/tests/wayland/native_window_check.py
python=/usr/bin/python3
for f in "$cli" "$toplevel" "$host"; do [ -x "$f" ] || stage_abort "$f is built"; done

echo "=== X11"
STAGE_INDENT="  "
x11_windows() {
  VANTOREL_SCREENSHOT_LIBRARY=$build/libvantorel-screenshot.so.1 \
    "$python" "$root/tests/x11/window_list_check.py" --cli "$cli" --host "$host" --python "$root/python"
}
stage_check_quiet "X11: listed with xwininfo's geometry, captured by id and title, Python = CLI" x11_windows

libs=(libxcb1 libxcb-shm0 libxcb-randr0 libxcb-composite0 libxcb-xinerama0 libwayland-client0
  libsystemd0)
"$root/rig/chroot.sh" ensure sid sid "${libs[@]}" sway swaybg grim labwc wlr-randr python3 >/dev/null
"$root/rig/chroot.sh" ensure trixie trixie "${libs[@]}" sway swaybg grim >/dev/null

current_rig=""
work=""
clients=()
stop_row() {
  local pid
  for pid in "${clients[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${clients[@]}"; do wait "$pid" 2>/dev/null || true; done
  clients=()
  [ -z "$current_rig" ] || "$root/rig/sway-stop.sh" "$current_rig" || true
  current_rig=""
  [ -z "$work" ] || rm -rf "$work"
  work=""
}
stage_defer stop_row

client() {
  "$root/rig/chroot.sh" run "$RIG_CHROOT" --user vsrig --env XDG_RUNTIME_DIR="$XDG_RUNTIME_DIR" \
    --env WAYLAND_DISPLAY="$WAYLAND_DISPLAY" "$@"
}

# start_window TITLE SEED [fullscreen]: a vs-toplevel-client, once it has
# shown its first buffer.
start_window() {
  local out=$work/client-$2.out
  client -- "$toplevel" "$@" >"$out" 2>&1 &
  clients+=($!)
  local _
  for _ in $(seq 1 100); do
    grep -q '^ready' "$out" 2>/dev/null && { sleep 0.3; return 0; }
    sleep 0.05
  done
  echo "the window '$1' did not come up: $(cat "$out")"
  return 1
}

# captured NAME ID SEED [OUR ARGUMENTS]: our capture of the window by its id
# (or as the arguments say) against grim -T.
captured() {
  local args=(window "$2")
  [ $# -lt 4 ] || args=("${@:4}")
  client -- "$cli" "${args[@]}" "$work/$1.png" || return 1
  client -- grim -T "${2#wl:}" "$work/$1.grim.png" || { echo "grim -T failed"; return 1; }
  "$python" "$pictures" window "$work/$1.png" "$work/$1.grim.png" "$3"
}

covered() {
  client -- grim "$work/screen.png" || return 1
  "$python" "$pictures" hidden "$work/screen.png" "$work/open.png"
}

# focused TITLE: the list says that window, and only that one, has the focus.
focused() {
  client -- "$cli" windows >"$work/focus.json" || return 1
  "$python" "$pictures" focused "$work/focus.json" "$1"
}

python_equals_cli() {
  client -- "$cli" windows >"$work/cli.json" || return 1
  client --env PYTHONPATH="$root/python" --env VANTOREL_SCREENSHOT_LIBRARY="$build/libvantorel-screenshot.so.1" \
    -- python3 -c 'import json, vantorel_screenshot as vs; print(json.dumps(vs.windows()))' >"$work/python.json" ||
    return 1
  "$python" -c 'import json, sys; sys.exit(json.load(open(sys.argv[1])) != json.load(open(sys.argv[2])))' \
    "$work/cli.json" "$work/python.json" || { echo "CLI $(cat "$work/cli.json")"; echo "Python $(cat "$work/python.json")"; return 1; }
}

# A compositor that lists windows but cannot capture one: 124, in words.
uncapturable() {
  local status=0
  client -- "$cli" window "$1" "$work/none.png" 2>"$work/none.err" || status=$?
  [ "$status" = 1 ] && [ ! -e "$work/none.png" ] &&
    grep -q "could not be captured" "$work/none.err" && grep -q "error 124" "$work/none.err" &&
    grep -q "the Wayland compositor cannot capture single windows" "$work/none.err" ||
    { echo "exit $status: $(cat "$work/none.err")"; return 1; }
}

# row CHROOT COMPOSITOR [uncapturable]
row() {
  local chroot=$1 compositor=$2 mode=${3:-} start=$SECONDS env version id
  env=$(timeout 120 "$root/rig/sway-start.sh" --chroot "$chroot" --compositor "$compositor") ||
    { stage_fail "the $compositor rig in $chroot starts"; return; }
  eval "$env"
  current_rig=$RIG_DIR
  version=$("$root/rig/chroot.sh" run "$chroot" -- dpkg-query -W -f="\${Version}" "$compositor")
  echo "=== $compositor $version ($chroot)"
  work=$(mktemp -d /tmp/vs-windows.XXXXXX)
  chown "$(cat "$RIG_DIR/user")" "$work"
  if ! start_window "Native ✓ window" 1; then
    stage_fail "$compositor: the native window starts"
    stop_row
    return
  fi
  client -- "$cli" windows >"$work/list.json" || true
  if id=$("$python" "$pictures" id "$work/list.json" "Native ✓ window"); then
    stage_pass "$compositor: listed with its title ($id)"
    if [ "$mode" = uncapturable ]; then
      stage_check_quiet "$compositor: the capture fails with 124" uncapturable "$id"
      stop_row
      echo "  done in $((SECONDS - start)) s"
      return
    fi
    stage_check_quiet "$compositor: listed as the focused window" focused "Native ✓ window"
    stage_check_quiet "$compositor: captured by its id, equal to grim -T" captured open "$id" 1
    stage_check_quiet "$compositor: Python's list equals the command's" python_equals_cli
    if start_window "Cover" 2 fullscreen; then
      stage_check_quiet "$compositor: a fullscreen window covers it" covered
      stage_check_quiet "$compositor: covered, captured by its id, equal to grim -T" captured covered "$id" 1
      client -- "$cli" windows >"$work/list2.json" || true
      local cover
      if cover=$("$python" "$pictures" id "$work/list2.json" "Cover"); then
        stage_check_quiet "$compositor: the cover is listed as focused now" focused "Cover"
        stage_check_quiet "$compositor: -u captures the cover, equal to grim -T" captured focused "$cover" 2 -u
      else
        stage_fail "$compositor: the cover is listed" "$(cat "$work/list2.json")"
      fi
    else
      stage_fail "$compositor: the covering window starts"
    fi
  else
    stage_fail "$compositor: listed with its title" "$(cat "$work/list.json")"
  fi
  stop_row
  echo "  done in $((SECONDS - start)) s"
}

row sid sway
row sid labwc
row trixie sway uncapturable
stage_end
