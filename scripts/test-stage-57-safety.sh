#!/usr/bin/env bash
# Nothing crashes the host, hangs or fails for no reason: the cases of
# tests/safety/safety_checks.py against servers of this stage's own (an Xvfb
# that serves, one that wants a cookie, a listener that accepts and never
# answers): Python pictures copied, pickled and returned by worker processes,
# their read-only geometry, FIFOs without a reader and with one that quits,
# /dev/full, an unmapped window, a hung connect and then DISPLAY moved, the
# server's words on a refusal, the program ended by a signal while it waits,
# Python's save on a full disk; then 30 captures each right after the last
# other client of an Xvfb without -noreset left (vs_x11_reset_tests).
# Ends with "N passed, N failed".
set -euo pipefail
# shellcheck source=scripts/stage-lib.sh
source "$(dirname "$0")/stage-lib.sh"
cd "$root"
build=$(cd "${VS_BUILD_DIR:-$root/build}" && pwd)
cmake --build "$build" -j "$(nproc)" --target vantorel-screenshot vantorel-screenshot-cli \
  vs_x11_reset_tests >/dev/null

work=$(mktemp -d /tmp/vs-stage57.XXXXXX)
stage_defer rm -rf "$work"
export VANTOREL_SCREENSHOT_LIBRARY="$build/libvantorel-screenshot.so.1"
export VS_CLI="$build/cli/vantorel-screenshot"
export VANTOREL_SCREENSHOT_BACKEND=x11
unset WAYLAND_DISPLAY XAUTHORITY
checks="$root/tests/safety/safety_checks.py"

# check NAME [VAR=VALUE...]: one case of the checks, its lines indented.
check() {
  local name=$1
  shift
  echo "=== $name"
  if env "$@" timeout 120 /usr/bin/python3 "$checks" "$name" 2>&1 | sed 's/^/  /'; then
    stage_pass "$name"
  else
    stage_fail "$name"
  fi
}

# A listener that accepts and never answers, on a display nobody uses.
hung=4400
while [ -e "/tmp/.X11-unix/X$hung" ] || [ -e "/tmp/.X$hung-lock" ] ||
  grep -q "@/tmp/.X11-unix/X$hung\$" /proc/net/unix; do
  hung=$((hung + 1))
done
coproc HUNG {
  exec /usr/bin/python3 -c '
import socket, sys
listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
listener.bind("\0/tmp/.X11-unix/X" + sys.argv[1])
listener.listen(64)
print("ready", flush=True)
held = []
while True:
    held.append(listener.accept()[0])
' "$hung"
}
stage_defer stage_kill "$HUNG_PID"
read -r -t 10 ready <&"${HUNG[0]}"
[ "$ready" = ready ] || stage_abort "the silent listener starts"

# A server that wants a cookie, and a file that holds another one.
: >"$work/server.auth"
: >"$work/wrong.auth"
xauth -q -f "$work/server.auth" add :0 MIT-MAGIC-COOKIE-1 "$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')"
stage_xvfb -screen 0 320x200x24 -auth "$work/server.auth"
cookie_display=$DISPLAY
cookie_pid=$STAGE_XVFB_PID
stage_defer rm -rf "$STAGE_XVFB_DIR"
stage_defer stage_kill "$cookie_pid"
xauth -q -f "$work/wrong.auth" add "$cookie_display" MIT-MAGIC-COOKIE-1 \
  "$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')"

# The server the captures are taken from.
STAGE_XVFB_PID=""
stage_xvfb -screen 0 640x480x24
echo "Xvfb on $DISPLAY, one with a cookie on $cookie_display, a silent listener on :$hung"

check pictures
check fifo
check dev-full
check unmapped-window
check display-switch VS_HUNG_DISPLAY=":$hung"
check cookie-detail VS_COOKIE_DISPLAY="$cookie_display" VS_COOKIE_AUTH="$work/wrong.auth"
check signals VS_HUNG_DISPLAY=":$hung"

# A small disk of its own, in a mount namespace of its own.
mkdir -p "$work/disk"
echo "=== full-disk"
# shellcheck disable=SC2016 # the inner shell expands them
if unshare -m sh -c 'mount -t tmpfs -o size=256k tmpfs "$1" && shift && exec "$@"' sh "$work/disk" \
  env VS_FULL_DISK="$work/disk" timeout 120 /usr/bin/python3 "$checks" full-disk 2>&1 | sed 's/^/  /'; then
  stage_pass full-disk
else
  stage_fail full-disk
fi

echo "=== 30 captures across a server reset"
stage_check "30 of 30 captures right after the last other client left" \
  "$build/tests/x11/vs_x11_reset_tests" --gtest_brief=1

stage_end
