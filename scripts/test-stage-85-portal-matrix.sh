#!/usr/bin/env bash
# The desktop portal on the desktops people run today, each in a chroot of a
# newer Debian (rig/chroot.sh: made once, then reused from its cache), started
# by the portal rigs as an ordinary user, with our Debian 12 build run inside
# unchanged as that user:
#
#   GNOME Shell 48 (trixie), GNOME Shell 51 (sid): the command-line program's
#     monitors JSON; the exports' tests (tests/portal): the monitor list, `all`,
#     each monitor and regions across the outputs pixel for pixel against the
#     picture the known-picture client shows, and no picture file left.
#   Plasma 6.3 (trixie), KWin 6.7 (sid): the portal must offer Screenshot and
#     the monitors come from the compositor. KWin takes screenshots only while
#     it composites with OpenGL, which it does only on a DRM render node: with
#     one (/dev/dri/renderD*) the captures of stage 75 (tests/kde: the known
#     picture and the portal's own, which holds the pointer); without one
#     (our CI machines' kernels have no DRM) every capture must fail at once
#     with the portal's code, never X11's, and leave no file.
#   Packages on trixie: the .debs installed with `apt install ./...deb` (their
#     dependencies resolved from trixie), the program used on the GNOME 48 rig,
#     the packages removed; the Linux wheel installed into trixie's Python in
#     a venv and capturing there.
#
# Built in build/ (or $VS_BUILD_DIR); the packages from dist/ (stage 65), made
# with scripts/build-packages.sh --linux when missing. Ends with
# "N passed, N failed"; a row that could not be started counts as failed.
set -euo pipefail
# shellcheck source=scripts/stage-lib.sh
source "$(dirname "$0")/stage-lib.sh"
build=$(cd "${VS_BUILD_DIR:-$root/build}" && pwd)
cli=$build/cli/vantorel-screenshot
export_tests=$build/tests/portal/vs_portal_export_tests
start=$(date +%s)

# Rigs started here are stopped after their row, and however the stage ends.
stop_rig() {
  case "$1" in
    /tmp/vs-gnome.*) "$root/rig/portal-stop.sh" "$1" >/dev/null 2>&1 || true ;;
    /tmp/vs-kde.*) "$root/rig/kde-stop.sh" "$1" >/dev/null 2>&1 || true ;;
  esac
}

# in_rig COMMAND...: runs COMMAND in the current rig's chroot as its user, with
# the rig's assignments (eval'd into this shell by start_rig).
in_rig() {
  local envs=() k
  for k in VS_PORTAL_RIG DBUS_SESSION_BUS_ADDRESS DBUS_SYSTEM_BUS_ADDRESS XDG_RUNTIME_DIR \
    WAYLAND_DISPLAY VS_PORTAL_PICTURES VS_PORTAL_DESKTOP; do
    if [ -n "${!k:-}" ]; then envs+=(--env "$k=${!k}"); fi
  done
  # The rig's home, as a program of that desktop session would have it.
  "$root/rig/chroot.sh" run "$VS_RIG_CHROOT" --user "$VS_RIG_USER" --env VS_PORTAL_REQUIRED=1 \
    --env HOME="$VS_PORTAL_RIG/home" \
    "${envs[@]}" -- "$@"
}

# start_rig START_SCRIPT SUITE: starts the rig in the chroot and takes its
# assignments; the first run also makes the chroot and installs the desktop.
start_rig() {
  local t0 assignments
  t0=$(date +%s)
  unset VS_PORTAL_RIG DBUS_SYSTEM_BUS_ADDRESS RIG_DIR
  if ! assignments=$(timeout 1500 "$root/rig/$1" --chroot "$2"); then
    return 1
  fi
  eval "$assignments"
  stage_defer stop_rig "$VS_PORTAL_RIG"
  echo "rig/$1 --chroot $2: up in $(($(date +%s) - t0)) s ($VS_PORTAL_RIG)"
}

# The picture files the portal may have left in the rig (its home, Pictures).
pictures_left() { find "$VS_PORTAL_RIG/home" -name '*.png' 2>/dev/null; }

# The CLI's monitors JSON: two monitors, side by side, one primary.
check_monitors_json() {
  local what=$1 json
  if ! json=$(in_rig "$cli" monitors); then
    stage_fail "$what: monitors"
    return
  fi
  echo "$what monitors: $json"
  if /usr/bin/python3 - "$json" <<'PY'; then stage_pass "$what: monitors JSON"; else stage_fail "$what: monitors JSON"; fi
import json
import sys

monitors = json.loads(sys.argv[1])
assert len(monitors) == 2, monitors
assert [m["index"] for m in monitors] == [0, 1], monitors
assert sum(m["is_primary"] for m in monitors) == 1, monitors
assert all(m["width"] > 0 and m["height"] > 0 for m in monitors), monitors
PY
}

# The exports on the rig: the list and every capture pixel for pixel.
check_exports_exact() {
  local what=$1
  if in_rig timeout 600 "$export_tests" \
    --gtest_filter='PortalExports.TheMonitorListIsTheCompositors:PortalExports.EveryCaptureExportIsExact'; then
    stage_pass "$what: monitor list, all, each monitor, regions across outputs exact"
  else
    stage_fail "$what: monitor list, all, each monitor, regions across outputs exact"
  fi
}

gnome_row() {
  local suite=$1 what
  if ! start_rig gnome-start.sh "$suite"; then
    stage_fail "GNOME ($suite): the rig did not start"
    return
  fi
  what="GNOME Shell $(in_rig gnome-shell --version | awk '{print $3}') ($suite)"
  check_monitors_json "$what"
  check_exports_exact "$what"
  if [ "$suite" = trixie ]; then check_packages "$what"; fi
  stop_rig "$VS_PORTAL_RIG"
}

# On Plasma the library's captures are checked as stage 75 checks them
# (tests/kde): against the known picture kde_paint shows and the portal's own
# picture, which holds the mouse pointer too.
check_kde_exact() {
  local what=$1 paint
  paint=$("$root/tests/kde/build-paint.sh" "$build/kde" | tail -n 1)
  if in_rig timeout 600 env KDE_PAINT="$paint" KDE_RIG_PICTURES="$KDE_RIG_PICTURES" KDE_RIG_SCALE=1 \
    VANTOREL_SCREENSHOT_LIBRARY="$build/libvantorel-screenshot.so.1" \
    bash -c "cd '$root/tests/kde' && exec /usr/bin/python3 -m unittest -v test_kde_desktop.Captures"; then
    stage_pass "$what: monitors, all, each monitor, regions exact against the portal's picture"
  else
    stage_fail "$what: monitors, all, each monitor, regions exact against the portal's picture"
  fi
}

kde_row() {
  local suite=$1 what t0 ms out rc
  if ! start_rig kde-start.sh "$suite"; then
    stage_fail "Plasma ($suite): the rig did not start"
    return
  fi
  what="KWin $("$root/rig/chroot.sh" run "$suite" -- dpkg-query -W -f='${Version}' kwin-wayland |
    sed 's/^[0-9]*://; s/-.*//') ($suite)"
  # The rig waits for the portal's Screenshot interface: it is there.
  stage_pass "$what: the portal offers Screenshot"
  check_monitors_json "$what"
  if compgen -G '/dev/dri/renderD*' >/dev/null; then
    check_kde_exact "$what"
  else
    echo "$what: no DRM render node here, so KWin composites without OpenGL and takes no" \
      "screenshots; the capture must fail at once with the portal's code"
    t0=$(date +%s%N)
    rc=0
    out=$(in_rig "$cli" all "$VS_PORTAL_RIG/all.png" 2>&1) || rc=$?
    ms=$((($(date +%s%N) - t0) / 1000000))
    echo "$what all: exit $rc after $ms ms: $out"
    if [ "$rc" = 1 ] && [[ "$out" =~ ,\ error\ 20[23]\) ]] && [ "$ms" -lt 5000 ] &&
      [ ! -e "$VS_PORTAL_RIG/all.png" ] && [ -z "$(pictures_left)" ]; then
      stage_pass "$what: without OpenGL the capture fails at once with the portal's code, no file"
    else
      stage_fail "$what: without OpenGL the capture fails at once with the portal's code, no file"
    fi
  fi
  stop_rig "$VS_PORTAL_RIG"
}

# The packages, on the GNOME rig of trixie: the .debs through apt, the wheel
# in a venv of trixie's Python.
check_packages() {
  local what=$1 dist=$root/dist debs wheel work out
  if ! ls "$dist"/libvantorel-screenshot1_*_amd64.deb "$dist"/vantorel-screenshot_*_amd64.deb \
    "$dist"/vantorel_screenshot-*-linux_x86_64.whl >/dev/null 2>&1; then
    dist=$root/build-pkg/dist-linux
    if ! "$root/scripts/build-packages.sh" --linux "$dist" >"$build/build-packages-linux.log" 2>&1; then
      tail -n 30 "$build/build-packages-linux.log"
      stage_fail "packages: scripts/build-packages.sh --linux"
      return
    fi
  fi
  debs=("$dist"/libvantorel-screenshot1_*_amd64.deb "$dist"/libvantorel-screenshot-dev_*_amd64.deb
    "$dist"/vantorel-screenshot_*_amd64.deb)
  wheel=$(ls "$dist"/vantorel_screenshot-*-linux_x86_64.whl)

  "$root/rig/chroot.sh" ensure "$VS_RIG_CHROOT" "$VS_RIG_CHROOT" python3-venv >/dev/null
  # The shared chroot is left as it was: our packages go again at the end.
  local t0 log=$build/trixie-apt.log
  t0=$(date +%s)
  if "$root/rig/chroot.sh" run "$VS_RIG_CHROOT" -- apt-get install -y "${debs[@]}" >"$log" 2>&1 &&
    out=$(in_rig /usr/bin/vantorel-screenshot monitors) &&
    in_rig /usr/bin/vantorel-screenshot all "$VS_PORTAL_RIG/deb-all.png" &&
    /usr/bin/python3 -c 'import sys; d = open(sys.argv[1], "rb").read(24)
assert d[:8] == b"\x89PNG\r\n\x1a\n", d' "$VS_PORTAL_RIG/deb-all.png"; then
    stage_pass "$what: the .debs install with apt (dependencies from trixie) and capture: $out"
  else
    tail -n 20 "$log"
    stage_fail "$what: the .debs install with apt and capture"
  fi
  echo "(apt install of the .debs and a capture: $(($(date +%s) - t0)) s)"
  rm -f "$VS_PORTAL_RIG/deb-all.png"
  "$root/rig/chroot.sh" run "$VS_RIG_CHROOT" -- apt-get purge -y libvantorel-screenshot1 \
    libvantorel-screenshot-dev vantorel-screenshot >>"$log" 2>&1 || true

  work=$VS_PORTAL_RIG/wheel
  mkdir -p "$work"
  chmod 777 "$work"
  if in_rig /usr/bin/python3 -m venv "$work/venv" &&
    in_rig "$work/venv/bin/pip" install --quiet --no-index "$wheel" &&
    out=$(in_rig "$work/venv/bin/python" - "$work/wheel-all.png" <<'PY'
import sys

import vantorel_screenshot as vs

monitors = vs.monitors()
assert len(monitors) == 2, monitors
vs.save_all(sys.argv[1])
png = vs.grab_png(monitors[1]["x"] - 20, 10, 40, 30)
assert png[:8] == b"\x89PNG\r\n\x1a\n"
print(f"Python {sys.version.split()[0]}, library {vs.library_path()}, {len(monitors)} monitors")
PY
    ); then
    stage_pass "$what: the Linux wheel in a venv of trixie's Python captures: $out"
  else
    stage_fail "$what: the Linux wheel in a venv of trixie's Python captures"
  fi
  rm -rf "$work"
}

gnome_row trixie
gnome_row sid
kde_row trixie
kde_row sid

echo "stage 85 (portal matrix) took $(($(date +%s) - start)) s"
stage_end
