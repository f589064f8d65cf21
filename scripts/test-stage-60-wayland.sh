#!/usr/bin/env bash
# The tests on a Wayland desktop: starts the headless sway rig (two outputs
# with known pictures, Xwayland) and runs the tests labelled wayland in build/
# (or $VS_BUILD_DIR), which the plain ctest run skipped for want of a
# compositor. Here a skip is a failure (VS_WAYLAND_REQUIRED). Also: captures
# from children of fork (Python's multiprocessing) on the rig.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${VS_BUILD_DIR:-$root/build}" && pwd)

eval "$("$root/rig/sway-start.sh")"
trap '"$root/rig/sway-stop.sh" "$RIG_DIR"' EXIT
echo "sway rig on $WAYLAND_DISPLAY (XDG_RUNTIME_DIR $XDG_RUNTIME_DIR), Xwayland on ${DISPLAY:-none}"

# sway 1.7 offers wlroots' screen copy alone: the library must speak it
# (WAYLAND_DEBUG=client shows the requests it sends).
debug_log=$(mktemp /tmp/vs-wl-debug.XXXXXX)
debug_png=$(mktemp -u /tmp/vs-wl-debug.XXXXXX.png)
WAYLAND_DEBUG=client "$build/cli/vantorel-screenshot" all "$debug_png" 2>"$debug_log" >/dev/null
if grep -Eq 'zwlr_screencopy_manager_v1[@#][0-9]+\.capture_output' "$debug_log" &&
  ! grep -q 'ext_image_copy_capture' "$debug_log"; then
  echo "protocol: zwlr-screencopy-unstable-v1 on sway $(sway --version | awk '{print $3}')"
else
  echo "the capture on sway did not go through wlroots' screen copy alone" >&2
  exit 1
fi
rm -f "$debug_log" "$debug_png"

# Children of fork (multiprocessing's default on Linux) after the parent
# captured: each leaves the parent's connection alone and connects afresh.
VANTOREL_SCREENSHOT_LIBRARY=$build/libvantorel-screenshot.so.1 PYTHONPATH=$root/python \
  /usr/bin/python3 "$root/tests/wayland/fork_captures.py"

export VS_WAYLAND_REQUIRED=1
cd "$build"
ctest -L wayland -LE wayland_restart --output-on-failure --no-tests=error
# Last, as it replaces the compositor.
ctest -L wayland_restart --output-on-failure --no-tests=error

# The same tests under AddressSanitizer and UBSan, and a capture under
# valgrind, where the reliability stage built them.
cd "$root"
if [ -x build-asan/libvantorel-screenshot.so.1 ] || [ -e build-asan/libvantorel-screenshot.so.1 ]; then
  cmake --build build-asan -j "$(nproc)" --target vs_wayland_capture_tests >/dev/null
  echo "=== the Wayland tests under AddressSanitizer + UBSan"
  ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir build-asan -L wayland -LE wayland_restart --output-on-failure --no-tests=error
fi
echo "=== valgrind memcheck: captures through the Wayland layer"
for args in "all" "monitor 1" "region 1000 700 100 100"; do
  # shellcheck disable=SC2086
  valgrind -q --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
    "$build/cli/vantorel-screenshot" $args "$(mktemp -u /tmp/vs-wl-valgrind.XXXXXX.png)"
done
echo "valgrind: clean"
