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
# server does not have skip.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${VS_BUILD_DIR:-$root/build}" && pwd)

xvfb_pid=""
xvfb_dir=""
rig_dir=""
cleanup() {
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  if [ -n "$xvfb_dir" ]; then rm -rf "$xvfb_dir"; fi
  if [ -n "$rig_dir" ]; then "$root/rig/stop.sh" "$rig_dir" || true; fi
  xvfb_pid=""
  xvfb_dir=""
  rig_dir=""
}
trap cleanup EXIT

export VS_X11_REQUIRED=1
run_tests() {
  echo "== depth $1 on $2 (DISPLAY=$DISPLAY)"
  (cd "$build" && VS_DEPTHS_ROOT=$1 VS_DEPTHS_WINDOW=${3:-} \
    ctest -L x11 -R X11Depths --output-on-failure --no-tests=error)
}

# Xvfb picks a free display itself (-displayfd) and writes it once it takes
# clients. Without -noreset it would reset whenever its last client left, and
# the next test's connection, made meanwhile, could hang. RIG_DIR marks a
# display of ours to draw on.
start_xvfb() {
  local depth=$1
  shift
  xvfb_dir=$(mktemp -d /tmp/vs-xvfb.XXXXXX)
  Xvfb -displayfd 3 -screen 0 "800x600x$depth" "$@" -nolisten tcp -noreset \
    3>"$xvfb_dir/display" </dev/null >"$xvfb_dir/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 1 200); do
    if grep -q '^[0-9][0-9]*$' "$xvfb_dir/display" 2>/dev/null; then break; fi
    kill -0 "$xvfb_pid" 2>/dev/null || { cat "$xvfb_dir/xvfb.log" >&2; exit 1; }
    sleep 0.05
  done
  local number
  number=$(head -n 1 "$xvfb_dir/display")
  [ -n "$number" ] || { echo "Xvfb at depth $depth did not start within 10 s" >&2; exit 1; }
  export DISPLAY=":$number" RIG_DIR=$xvfb_dir
}

for depth in 8 15 16 24 30; do
  start_xvfb "$depth"
  window=""
  if [ "$depth" -ne 8 ]; then window=32; fi  # no Composite at depth 8
  run_tests "$depth" Xvfb "$window"
  cleanup
done

# Roots of the other classes (Xvfb's -cc picks the root visual's class):
# StaticGray, GrayScale and StaticColor at 8 bits, DirectColor at 16.
for root_visual in 8:0 8:1 8:2 16:5; do
  depth=${root_visual%:*}
  class=${root_visual#*:}
  start_xvfb "$depth" -cc "$class"
  echo "== depth $depth, root visual class $class, on Xvfb (DISPLAY=$DISPLAY)"
  (cd "$build" && VS_DEPTHS_ROOT=$depth VS_DEPTHS_ROOT_CLASS=$class \
    ctest -L x11 -R 'X11Depths\.Root' --output-on-failure --no-tests=error)
  cleanup
done

eval "$("$root/rig/start.sh" --depth 16)"
rig_dir=$RIG_DIR
run_tests 16 "the Xorg dummy rig" 32
