#!/usr/bin/env bash
# The Linux library on a real X server: starts the Xorg dummy rig and runs the
# tests labelled x11 in build/ (or $VS_BUILD_DIR), which the plain ctest run
# skipped for want of a display. Here a skip is a failure (VS_X11_REQUIRED).
# Ends with "N passed, N failed".
set -euo pipefail
# shellcheck source=scripts/stage-lib.sh
source "$(dirname "$0")/stage-lib.sh"
build=$(cd "${VS_BUILD_DIR:-$root/build}" && pwd)

stage_rig
echo "rig on $DISPLAY"

export VS_X11_REQUIRED=1
stage_check "the x11 tests on the rig" ctest --test-dir "$build" -L x11 --output-on-failure --no-tests=error

# Xvfb's RandR flags no monitor primary: the library still names exactly one.
echo "=== Xvfb: exactly one primary monitor"
stage_xvfb -screen 0 800x600x24
one_primary() {
  local json
  json=$("$build/cli/vantorel-screenshot" monitors) || return 1
  echo "$json"
  [ "$(grep -o '"is_primary":true' <<<"$json" | wc -l)" -eq 1 ] || { echo "not exactly one primary" >&2; return 1; }
}
stage_check "Xvfb: exactly one primary monitor" one_primary
stage_xvfb_stop
stage_end
