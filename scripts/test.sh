#!/usr/bin/env bash
# Runs every test on a fresh Debian 12 machine: installs what is needed, builds,
# and runs the unit tests, the tests on a real X server and the Windows DLL
# under Wine, each stage stopping the run when it fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

"$root/scripts/install-deps.sh"

# The newer desktops' chroots are made while the stages before them run; the
# stages that use them wait for it through the chroots' locks.
mkdir -p "$root/build"
prepare_log=$root/build/prepare-chroots.log
"$root/scripts/prepare-chroots.sh" >"$prepare_log" 2>&1 &
prepare_pid=$!
trap 'kill $prepare_pid 2>/dev/null || true' EXIT

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVS_BUILD_TESTS=ON
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure -j "$jobs")

for stage in "$root"/scripts/test-stage-*.sh; do
  [ -e "$stage" ] || continue
  echo "=== $(basename "$stage")"
  bash "$stage"
done
wait "$prepare_pid" 2>/dev/null || true
cat "$prepare_log"
