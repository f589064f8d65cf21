# What every scripts/test-stage-*.sh shares; sourced, not run:
#
#   source "$(dirname "$0")/stage-lib.sh"
#
# It sets $root (the checkout) and gives:
#
#   counters   stage_pass WHAT, stage_fail WHAT [WHY], stage_check WHAT COMMAND...,
#              stage_check_quiet WHAT COMMAND... (its output only on failure),
#              stage_count PASSED FAILED WHAT (a run that counted its own),
#              stage_end: prints "N passed, N failed" and fails when any did;
#              stage_abort WHAT [WHY]: one more failure, and the stage ends
#              there.
#              The counts are $passed and $failed; $STAGE_INDENT goes before
#              each line.
#   cleanup    stage_defer COMMAND...: run when the stage ends, however it
#              ends (success, failure, interruption), the last deferred
#              first; its id is left in $STAGE_DEFERRED, and stage_undefer ID
#              runs it at once instead. A stage sets no EXIT trap of its own.
#   processes  stage_kill PID...: ends what the stage started, by process id
#              (a stopped process is continued first, so it can die).
#   rigs       stage_rig [ARGS]: the Xorg dummy rig (rig/start.sh ARGS) in this
#              shell (DISPLAY, RIG_DIR), stopped at the end;
#              stage_rig_lines [ARGS]: starts one and prints its directory and
#              display, one per line, for a stage that runs several (the caller
#              defers their stops); RandR is polled once, as Wine reads its
#              cached state;
#              stage_xvfb [Xvfb ARGS]: an Xvfb on a free display (DISPLAY,
#              STAGE_XVFB_PID, STAGE_XVFB_DIR) that does not reset when its
#              last client leaves (-noreset), stopped by stage_xvfb_stop or
#              at the end.
#   sanitizers stage_no_aslr COMMAND...: without address randomisation where
#              the kernel allows (GCC 12's ThreadSanitizer needs it).
# shellcheck shell=bash

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# --- Counters ------------------------------------------------------------------

passed=0
failed=0
STAGE_INDENT=${STAGE_INDENT:-}

stage_pass() {
  passed=$((passed + 1))
  echo "${STAGE_INDENT}ok: $1"
}

stage_fail() {
  failed=$((failed + 1))
  echo "${STAGE_INDENT}FAILED: $1${2:+: $2}"
}

stage_check() {
  local what=$1
  shift
  if "$@"; then stage_pass "$what"; else stage_fail "$what"; fi
}

stage_check_quiet() {
  local what=$1 out
  shift
  if out=$("$@" 2>&1); then stage_pass "$what"; else stage_fail "$what" "$out"; fi
}

stage_count() {
  passed=$((passed + $1))
  failed=$((failed + $2))
  if [ "$2" -eq 0 ]; then
    echo "${STAGE_INDENT}ok: $3 ($1 passed)"
  else
    echo "${STAGE_INDENT}FAILED: $3 ($2 of $(($1 + $2)) failed)"
  fi
}

stage_end() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

stage_abort() {
  stage_fail "$@"
  stage_end || true
  exit 1
}

# --- Cleanup -------------------------------------------------------------------

_stage_deferred=()

stage_defer() {
  # shellcheck disable=SC2034 # read by the stages
  STAGE_DEFERRED=${#_stage_deferred[@]}
  _stage_deferred+=("$(printf '%q ' "$@")")
}

stage_undefer() {
  local command=${_stage_deferred[$1]:-}
  _stage_deferred[$1]=""
  if [ -n "$command" ]; then eval "$command" || true; fi
}

_stage_exit() {
  local status=$? i
  set +e
  for ((i = ${#_stage_deferred[@]} - 1; i >= 0; i--)); do stage_undefer "$i"; done
  exit "$status"
}
trap _stage_exit EXIT

stage_kill() {
  local pid
  for pid in "$@"; do
    kill -CONT "$pid" 2>/dev/null || true
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
}

# --- Rigs ----------------------------------------------------------------------

stage_rig() {
  local assignments
  assignments=$("$root/rig/start.sh" "$@") || return 1
  eval "$assignments"
  stage_defer "$root/rig/stop.sh" "$RIG_DIR"
}

stage_rig_lines() {
  local env dir display
  env=$("$root/rig/start.sh" "$@") || return 1
  dir=$(sed -n 's/^export RIG_DIR=//p' <<<"$env")
  display=$(sed -n 's/^export DISPLAY=//p' <<<"$env")
  # Wine reads RandR's cached state, in which the dummy driver's DUMMY1 still
  # counts as disconnected until a client asks the server to poll its outputs.
  DISPLAY=$display xrandr --query >/dev/null
  printf '%s\n%s\n' "$dir" "$display"
}

# Xvfb picks a free display itself (-displayfd) and writes it once it takes
# clients. Without -noreset it would regenerate whenever its last client
# left, refusing the next one's connect meanwhile: a test that is about
# regeneration starts its own server.
STAGE_XVFB_PID=""
STAGE_XVFB_DIR=""
_stage_xvfb_deferred=""

stage_xvfb() {
  STAGE_XVFB_DIR=$(mktemp -d /tmp/vs-xvfb.XXXXXX)
  Xvfb -displayfd 3 "$@" -nolisten tcp -noreset 3>"$STAGE_XVFB_DIR/display" </dev/null \
    >"$STAGE_XVFB_DIR/xvfb.log" 2>&1 &
  STAGE_XVFB_PID=$!
  if [ -z "$_stage_xvfb_deferred" ]; then
    stage_defer stage_xvfb_stop
    _stage_xvfb_deferred=1
  fi
  local _
  for _ in $(seq 1 200); do
    if grep -q '^[0-9][0-9]*$' "$STAGE_XVFB_DIR/display" 2>/dev/null; then
      DISPLAY=":$(head -n 1 "$STAGE_XVFB_DIR/display")"
      export DISPLAY
      return 0
    fi
    kill -0 "$STAGE_XVFB_PID" 2>/dev/null || break
    sleep 0.05
  done
  cat "$STAGE_XVFB_DIR/xvfb.log" >&2
  echo "Xvfb $* did not start within 10 s" >&2
  return 1
}

stage_xvfb_stop() {
  if [ -n "$STAGE_XVFB_PID" ]; then stage_kill "$STAGE_XVFB_PID"; fi
  if [ -n "$STAGE_XVFB_DIR" ]; then rm -rf "$STAGE_XVFB_DIR"; fi
  STAGE_XVFB_PID=""
  STAGE_XVFB_DIR=""
}

# --- Sanitizers ----------------------------------------------------------------

# GCC 12's ThreadSanitizer cannot map its shadow under the wider address
# randomisation of newer kernels; without randomisation it always can.
stage_no_aslr() {
  if setarch "$(uname -m)" -R true 2>/dev/null; then
    setarch "$(uname -m)" -R "$@"
  else
    "$@"
  fi
}
