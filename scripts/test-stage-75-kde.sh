#!/usr/bin/env bash
# The library on KDE Plasma through the desktop portal: starts the KDE rig
# (rig/kde-start.sh) at scale 1 with Xwayland for the capture, window, race
# and missing-Pictures tests (tests/kde/test_kde_desktop.py), then at scale 2
# for the scaled tests (tests/kde/test_kde_scaled.py), each run bounded in
# time, against the library built in build/ (or $VS_BUILD_DIR). Ends with
# "N passed, N failed"; a skipped test counts as failed here.
set -euo pipefail
# shellcheck source=scripts/stage-lib.sh
source "$(dirname "$0")/stage-lib.sh"
build=$(cd "${VS_BUILD_DIR:-$root/build}" && pwd)

library=$(find "$build" -maxdepth 2 -name libvantorel-screenshot.so.1 | head -n 1)
if [ -z "$library" ]; then
  stage_abort "the library is built in $build"
fi
export VANTOREL_SCREENSHOT_LIBRARY=$library
export VANTOREL_SCREENSHOT_BACKEND=portal
KDE_PAINT=$("$root/tests/kde/build-paint.sh" "$build/kde" | tail -n 1)
export KDE_PAINT
# Debian's interpreter, whatever else is first on PATH: the portal probe
# needs its GObject bindings (python3-gi).
python=/usr/bin/python3

stop_kde_rig() { "$root/rig/kde-stop.sh" "$1" || true; }

# Runs one test file on a freshly started rig; $1 the file, the rest the
# rig's options.
run_on_rig() {
  local file=$1 counts start
  shift
  start=$(date +%s)
  local assignments
  if ! assignments=$("$root/rig/kde-start.sh" "$@"); then
    stage_fail "the KDE rig starts ($*)"
    return
  fi
  eval "$assignments"
  stage_defer stop_kde_rig "$RIG_DIR"
  local rig_deferred=$STAGE_DEFERRED
  counts=$(mktemp)
  stage_defer rm -f "$counts"
  local counts_deferred=$STAGE_DEFERRED
  echo "KDE rig ${*:-at scale 1}: $RIG_DIR, up in $(($(date +%s) - start)) s; library $library"
  cat "$RIG_DIR/start.log"
  timeout -k 10 900 "$python" - "$counts" "$root/tests/kde" "$file" <<'PY' || true
import sys
import unittest

sys.path.insert(0, sys.argv[2])
suite = unittest.TestLoader().loadTestsFromName(sys.argv[3])
result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)


def name(test):
    return getattr(test, "test_case", test).id()


failed = {name(t) for t, _ in result.failures + result.errors}
failed |= {name(t) for t, _ in result.skipped}
passed = result.testsRun - len(failed)
with open(sys.argv[1], "w") as counts:
    counts.write(f"{passed} {len(failed)}\n")
PY
  # A run that ended before it counted is one failure.
  local p f
  read -r p f <"$counts" || true
  stage_count "${p:-0}" "${f:-1}" "$file on the KDE rig ${*}"
  stage_undefer "$counts_deferred"
  stage_undefer "$rig_deferred"
  echo "(${*:-scale 1} done after $(($(date +%s) - start)) s)"
}

run_on_rig test_kde_desktop --xwayland
run_on_rig test_kde_scaled --scale 2

stage_end
