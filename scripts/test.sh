#!/usr/bin/env bash
# Runs every test on a fresh Debian 12 machine: installs what is needed, builds,
# and runs the unit tests, the tests on a real X server and the Windows DLL
# under Wine, each stage stopping the run when it fails. At the end, whether
# the run passed, failed or was interrupted, it prints a table of the minutes
# each step took and the total.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

run_start=$SECONDS
steps=()        # "NAME SECONDS RESULT", in the order they ran
current=""      # the step running now, and since when
current_start=0
prepare_pid=""

minutes() { awk -v s="$1" 'BEGIN { printf "%.1f", s / 60 }'; }

print_minutes() {
  local line name seconds result
  if [ -n "$current" ]; then
    steps+=("$current $((SECONDS - current_start)) ${1:-stopped}")
    current=""
  fi
  echo
  echo "=== minutes per step"
  printf '%-36s %8s  %s\n' step minutes result
  for line in "${steps[@]}"; do
    read -r name seconds result <<<"$line"
    printf '%-36s %8s  %s\n' "$name" "$(minutes "$seconds")" "$result"
  done
  printf '%-36s %8s\n' total "$(minutes $((SECONDS - run_start)))"
}

finish() {
  local status=$?
  if [ -n "$prepare_pid" ]; then kill "$prepare_pid" 2>/dev/null || true; fi
  case $status in
    0) print_minutes ;;
    130 | 143) print_minutes stopped ;;
    *) print_minutes FAILED ;;
  esac
}
trap finish EXIT
trap 'exit 130' INT TERM

# step NAME COMMAND...: runs one step and notes its time; a failure ends the run.
step() {
  current=$1
  current_start=$SECONDS
  "${@:2}"
  steps+=("$current $((SECONDS - current_start)) passed")
  current=""
}

step install-deps "$root/scripts/install-deps.sh"

# The newer desktops' chroots are made while the stages before them run; the
# stages that use them wait for it through the chroots' locks.
mkdir -p "$root/build"
prepare_log=$root/build/prepare-chroots.log
"$root/scripts/prepare-chroots.sh" >"$prepare_log" 2>&1 &
prepare_pid=$!

jobs=$(nproc)
step build bash -c "cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVS_BUILD_TESTS=ON &&
  cmake --build build -j $jobs"
step ctest bash -c "cd build && ctest --output-on-failure -j $jobs"

for stage in "$root"/scripts/test-stage-*.sh; do
  [ -e "$stage" ] || continue
  name=$(basename "$stage" .sh)
  echo "=== $name"
  step "${name#test-}" bash "$stage"
done
# The chroots are done by now unless a stage that needs them was skipped.
wait_for_chroots() { wait "$prepare_pid" 2>/dev/null || true; }
step prepare-chroots wait_for_chroots
prepare_pid=""
cat "$prepare_log"
