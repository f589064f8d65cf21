#!/usr/bin/env bash
# The tests on a Wayland desktop: starts the headless sway rig (two outputs
# with known pictures, Xwayland) and runs the tests labelled wayland in build/
# (or $VS_BUILD_DIR), which the plain ctest run skipped for want of a
# compositor. Here a skip is a failure (VS_WAYLAND_REQUIRED). Also: captures
# from children of fork (Python's multiprocessing) on the rig. Ends with
# "N passed, N failed".
set -euo pipefail
# shellcheck source=scripts/stage-lib.sh
source "$(dirname "$0")/stage-lib.sh"
build=$(cd "${VS_BUILD_DIR:-$root/build}" && pwd)
work=$(mktemp -d /tmp/vs-stage60.XXXXXX)
stage_defer rm -rf "$work"

eval "$("$root/rig/sway-start.sh")"
stage_defer "$root/rig/sway-stop.sh" "$RIG_DIR"
echo "sway rig on $WAYLAND_DISPLAY (XDG_RUNTIME_DIR $XDG_RUNTIME_DIR), Xwayland on ${DISPLAY:-none}"

# sway 1.7 offers wlroots' screen copy alone: the library must speak it
# (WAYLAND_DEBUG=client shows the requests it sends).
speaks_wlr_alone() {
  WAYLAND_DEBUG=client "$build/cli/vantorel-screenshot" all "$work/debug.png" 2>"$work/debug.log" >/dev/null &&
    grep -Eq 'zwlr_screencopy_manager_v1[@#][0-9]+\.capture_output' "$work/debug.log" &&
    ! grep -q 'ext_image_copy_capture' "$work/debug.log"
}
stage_check "protocol: zwlr-screencopy-unstable-v1 alone on sway $(sway --version | awk '{print $3}')" \
  speaks_wlr_alone

# Children of fork (multiprocessing's default on Linux) after the parent
# captured: each leaves the parent's connection alone and connects afresh.
VANTOREL_SCREENSHOT_LIBRARY=$build/libvantorel-screenshot.so.1 PYTHONPATH=$root/python \
  stage_check "children of fork capture beside their parent" \
  /usr/bin/python3 "$root/tests/wayland/fork_captures.py"

export VS_WAYLAND_REQUIRED=1
stage_check "the wayland tests on the rig" \
  ctest --test-dir "$build" -L wayland -LE wayland_restart --output-on-failure --no-tests=error
# Last, as it replaces the compositor.
stage_check "a compositor replaced between two calls" \
  ctest --test-dir "$build" -L wayland_restart --output-on-failure --no-tests=error

# The same tests under AddressSanitizer and UBSan, and a capture under
# valgrind, where the reliability stage built them.
cd "$root"
if [ -x build-asan/libvantorel-screenshot.so.1 ] || [ -e build-asan/libvantorel-screenshot.so.1 ]; then
  cmake --build build-asan -j "$(nproc)" --target vs_wayland_capture_tests >/dev/null
  echo "=== the Wayland tests under AddressSanitizer + UBSan"
  ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    stage_check "the wayland tests under ASan + UBSan" \
    ctest --test-dir build-asan -L wayland -LE wayland_restart --output-on-failure --no-tests=error
fi
echo "=== valgrind memcheck: captures through the Wayland layer"
for args in "all" "monitor 1" "region 1000 700 100 100"; do
  # shellcheck disable=SC2086
  stage_check "valgrind: $args" valgrind -q --error-exitcode=1 --leak-check=full \
    --errors-for-leak-kinds=definite,indirect "$build/cli/vantorel-screenshot" $args "$work/valgrind.png"
done
stage_end
