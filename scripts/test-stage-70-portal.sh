#!/usr/bin/env bash
# The desktop portal on real portal desktops: the headless GNOME rig with the
# screenshot permission granted, another without it, and the wlroots portal
# rig in the sway rig; on each it runs the tests labelled portal_desktop in
# build/ (or $VS_BUILD_DIR) that apply, then stops it: the module's own tests
# and the library's exports on it (vs_portal_export_tests). Here a skip is a
# failure (VS_PORTAL_REQUIRED). A few minutes. Ends with "N passed, N
# failed".
set -euo pipefail
# shellcheck source=scripts/stage-lib.sh
source "$(dirname "$0")/stage-lib.sh"
build=$(cd "${VS_BUILD_DIR:-$root/build}" && pwd)
export VS_PORTAL_REQUIRED=1

stop_portal_rig() { "$root/rig/portal-stop.sh" "$1"; }

# run_on START_SCRIPT [CTEST_ARGUMENTS] [-- START_ARGUMENTS]
run_on() {
  local start=$1 env rig
  shift
  local tests=() args=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do tests+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  args=("$@")
  local what="rig/$start ${args[*]}"
  if ! env=$(timeout 150 "$root/rig/$start" "${args[@]}"); then
    stage_fail "$what" "the rig did not start"
    return 0
  fi
  rig=$(eval "$env" && echo "$VS_PORTAL_RIG")
  stage_defer stop_portal_rig "$rig"
  local rig_deferred=$STAGE_DEFERRED
  # On GNOME the layer must be chosen by what the session offers: nothing
  # forced, no X server to fall back to (the wlroots rig forces the portal).
  on_rig() (
    unset DISPLAY VANTOREL_SCREENSHOT_BACKEND
    eval "$env"
    echo "portal rig $VS_PORTAL_DESKTOP in $VS_PORTAL_RIG ${args[*]}"
    cd "$build"
    timeout 900 ctest -L portal_desktop --output-on-failure --no-tests=error "${tests[@]}"
  )
  stage_check "$what: the portal_desktop tests ${tests[*]}" on_rig
  stage_undefer "$rig_deferred"
}

run_on gnome-start.sh -E Unpermitted
# GNOME before the permission is given: its dialog stays up, so a rig of its own.
VS_PORTAL_UNPERMITTED=1 run_on gnome-start.sh -R Unpermitted -- --permission unset
if [ -x "$root/rig/portal-wlr-start.sh" ] && [ -x "$root/rig/sway-start.sh" ]; then
  run_on portal-wlr-start.sh -E Unpermitted
fi
stage_end
