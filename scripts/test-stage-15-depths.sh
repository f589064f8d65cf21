#!/usr/bin/env bash
# The Linux library on X servers of every common depth: Xvfb at 8
# (PseudoColor), 15, 16, 24 and 30 bits, and the Xorg dummy rig at 16, each
# running the X11Depths tests from build/ (or $VS_BUILD_DIR): the
# root window through every export, and a window of each kind of visual the
# server offers captured by id (a 32-bit ARGB window wherever Composite
# offers one; 16- and 15-bit screens offer no depth-24 visual, so their
# 8-bit-a-channel window is that 32-bit one). Then the root alone on Xvfb
# with a root visual of each other class. A test that cannot reach its
# server fails instead of skipping; only the slots for kinds of visual a
# server does not have skip. Ends with "N passed, N failed".
set -euo pipefail
# shellcheck source=scripts/stage-lib.sh
source "$(dirname "$0")/stage-lib.sh"
build=$(cd "${VS_BUILD_DIR:-$root/build}" && pwd)

export VS_X11_REQUIRED=1
run_tests() {
  echo "== depth $1 on $2 (DISPLAY=$DISPLAY)"
  (cd "$build" && VS_DEPTHS_ROOT=$1 VS_DEPTHS_WINDOW=${3:-} \
    ctest -L x11 -R X11Depths --output-on-failure --no-tests=error)
}

# stage_xvfb's server does not reset when its last client leaves. RIG_DIR
# marks a display of ours to draw on.
start_xvfb() {
  local depth=$1
  shift
  stage_xvfb -screen 0 "800x600x$depth" "$@"
  export RIG_DIR=$STAGE_XVFB_DIR
}

for depth in 8 15 16 24 30; do
  start_xvfb "$depth"
  window=""
  if [ "$depth" -ne 8 ]; then window=32; fi  # no Composite at depth 8
  stage_check "depth $depth on Xvfb" run_tests "$depth" Xvfb "$window"
  stage_xvfb_stop
done

# Roots of the other classes (Xvfb's -cc picks the root visual's class):
# StaticGray, GrayScale and StaticColor at 8 bits, DirectColor at 16.
root_class_tests() {
  echo "== depth $1, root visual class $2, on Xvfb (DISPLAY=$DISPLAY)"
  (cd "$build" && VS_DEPTHS_ROOT=$1 VS_DEPTHS_ROOT_CLASS=$2 \
    ctest -L x11 -R 'X11Depths\.Root' --output-on-failure --no-tests=error)
}
for root_visual in 8:0 8:1 8:2 16:5; do
  depth=${root_visual%:*}
  class=${root_visual#*:}
  start_xvfb "$depth" -cc "$class"
  stage_check "depth $depth, root visual class $class, on Xvfb" root_class_tests "$depth" "$class"
  stage_xvfb_stop
done

stage_rig --depth 16
stage_check "depth 16 on the Xorg dummy rig" run_tests 16 "the Xorg dummy rig" 32
stage_end
