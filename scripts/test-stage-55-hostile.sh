#!/usr/bin/env bash
# Peers that misbehave, with the shipped bounds: the command-line program and
# two threads of one host (the hostile tests' two-thread check) against fake
# compositors that close, stay silent, send garbage, never accept or hang up
# mid-reply, with the layer unforced and forced to wayland, and against an X
# server (Xvfb) frozen before the first call and between two calls. Every call
# must end within 15 s with a message, and no file may be written. Then the
# hostile tests run under AddressSanitizer + UBSan and ThreadSanitizer.
# Ends with "N passed, N failed".
set -euo pipefail
# shellcheck source=scripts/stage-lib.sh
source "$(dirname "$0")/stage-lib.sh"
cd "$root"
build=$(cd "${VS_BUILD_DIR:-$root/build}" && pwd)
cmake --build "$build" -j "$(nproc)" --target vantorel-screenshot-cli vs_fake_compositor >/dev/null
cli="$build/cli/vantorel-screenshot"
fake="$build/tests/hostile/vs_fake_compositor"

work=$(mktemp -d /tmp/vs-stage55.XXXXXX)
stage_defer rm -rf "$work"

# check NAME ENV... -- ARGS: one call of the program, which must fail within
# 15 s with a message and leave no file.
check() {
  local name=$1
  shift
  local envs=()
  while [ "$1" != "--" ]; do envs+=("$1"); shift; done
  shift
  local out="$work/out.png" start end status=0 message
  rm -f "$out"
  start=$(date +%s%N)
  message=$(env "${envs[@]}" timeout 30 "$cli" "$@" 2>&1 >/dev/null) || status=$?
  end=$(date +%s%N)
  local ms=$(((end - start) / 1000000))
  if [ "$status" -ne 0 ] && [ "$status" -ne 124 ] && [ -n "$message" ] && [ "$ms" -lt 15000 ] &&
    [ ! -e "$out" ]; then
    passed=$((passed + 1))
  else
    stage_fail "$name" "status $status after $ms ms, message '$message'$([ -e "$out" ] && echo ', file written')"
  fi
}

commands=("monitors" "all $work/out.png" "monitor 0 $work/out.png" "region 0 0 16 16 $work/out.png")

for mode in close silent garbage backlog hangup; do
  socket="$work/$mode.sock"
  coproc FAKE { exec "$fake" "$mode" "$socket"; }
  stage_defer stage_kill "$FAKE_PID"
  fake_deferred=$STAGE_DEFERRED
  read -r -t 10 ready <&"${FAKE[0]}"
  [ "$ready" = ready ] || stage_abort "the fake compositor ($mode) starts"
  for backend in "" wayland; do
    for command in "${commands[@]}"; do
      # shellcheck disable=SC2086
      check "$mode ${backend:-unforced} $command" -u DISPLAY WAYLAND_DISPLAY="$socket" \
        VANTOREL_SCREENSHOT_BACKEND="$backend" -- $command
    done
  done
  stage_undefer "$fake_deferred"
done

# Xvfb on a display nobody uses (abstract socket, file socket, lock file).
display_free() {
  [ ! -e "/tmp/.X11-unix/X$1" ] && [ ! -e "/tmp/.X$1-lock" ] &&
    ! grep -q "@/tmp/.X11-unix/X$1\$" /proc/net/unix
}
number=170
while ! display_free "$number"; do number=$((number + 1)); done
coproc XVFB { exec Xvfb ":$number" -displayfd 1 -screen 0 320x200x24 -nolisten tcp -noreset 2>/dev/null; }
stage_defer stage_kill "$XVFB_PID"
read -r -t 20 shown <&"${XVFB[0]}"
[ "$shown" = "$number" ] || stage_abort "Xvfb starts"
for when in "before the first call" "between two calls"; do
  for backend in "" x11; do
    for command in "${commands[@]}"; do
      if [ "$when" = "between two calls" ]; then
        # The first call works; the server stops before the second.
        kill -CONT "$XVFB_PID"
        env -u WAYLAND_DISPLAY DISPLAY=":$number" "$cli" monitors >/dev/null
      fi
      kill -STOP "$XVFB_PID"
      # shellcheck disable=SC2086
      check "X server stopped $when, ${backend:-unforced}: $command" -u WAYLAND_DISPLAY \
        DISPLAY=":$number" VANTOREL_SCREENSHOT_BACKEND="$backend" -- $command
    done
  done
done
kill -CONT "$XVFB_PID"
echo "program: $passed passed, $failed failed"

# The table of the hostile tests (two threads at once included), under the
# sanitizers.
echo "=== the hostile tests under AddressSanitizer + UBSan (build-asan)"
cmake -S . -B build-asan -DVS_SANITIZE=ON -DVS_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug \
  "-DCMAKE_CXX_FLAGS_DEBUG=-g1 -O0" >/dev/null
cmake --build build-asan -j "$(nproc)" --target vs_hostile_tests vs_fake_compositor >/dev/null
ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  stage_check "the hostile tests under ASan + UBSan" \
  ctest --test-dir build-asan -L hostile --output-on-failure --no-tests=error
echo "=== the hostile tests under ThreadSanitizer (build-tsan)"
cmake -S . -B build-tsan -DVS_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-g1 -O1" \
  -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread \
  -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread -DVS_REL_PLAIN_ENCODER=ON >/dev/null
stage_no_aslr cmake --build build-tsan -j "$(nproc)" --target vs_hostile_tests vs_fake_compositor >/dev/null
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  stage_check "the hostile tests under TSan" \
  stage_no_aslr ctest --test-dir build-tsan -L hostile --output-on-failure --no-tests=error

stage_end
