#!/usr/bin/env bash
# The desktop portal module on real portal desktops: starts the headless GNOME
# rig (and the wlroots portal rig when the sway rig is there), runs the tests
# labelled portal_desktop in build/ (or $VS_BUILD_DIR) against each, stops it.
# Here a skip is a failure (VS_PORTAL_REQUIRED).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${VS_BUILD_DIR:-$root/build}" && pwd)
export VS_PORTAL_REQUIRED=1

run_on() {
  local start=$1
  shift
  local env
  env=$(timeout 150 "$root/rig/$start" "$@") || { echo "rig/$start failed" >&2; return 1; }
  (
    eval "$env"
    trap '"$root/rig/portal-stop.sh" "$VS_PORTAL_RIG"' EXIT
    echo "portal rig $VS_PORTAL_DESKTOP in $VS_PORTAL_RIG"
    cd "$build"
    timeout 900 ctest -L portal_desktop --output-on-failure --no-tests=error
  )
}

run_on gnome-start.sh
if [ -x "$root/rig/portal-wlr-start.sh" ] && [ -x "$root/rig/sway-start.sh" ]; then
  run_on portal-wlr-start.sh
fi
