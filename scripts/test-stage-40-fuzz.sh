#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a
# bounded time from the seed corpus in fuzz/corpus, as many at once as there
# are cores. A crash fails the stage.
# Ends with "N passed, N failed".
set -euo pipefail
# shellcheck source=scripts/stage-lib.sh
source "$(dirname "$0")/stage-lib.sh"
seconds=${FUZZ_SECONDS:-60}
build="$root/build-fuzz"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DVS_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target fuzz_clamp fuzz_json fuzz_pngenc fuzz_deflate \
  fuzz_portal_png

work=$(mktemp -d)
stage_defer rm -rf "$work"
# The targets run side by side, one per core: each keeps its full time while
# the stage takes a fraction of their sum.
names=(clamp json pngenc deflate portal_png)
fuzz_one() {
  local name=$1
  mkdir -p "$work/$name" "$work/artifacts"
  "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/$name-" "$work/$name" "$root/fuzz/corpus/$name" \
    >"$work/$name.log" 2>&1
  echo $? >"$work/$name.status"
}
slots=$(nproc)
pids=()
for name in "${names[@]}"; do
  echo "fuzzing $name for ${seconds}s"
  fuzz_one "$name" &
  pids+=($!)
  while [ "$(jobs -rp | wc -l)" -ge "$slots" ]; do wait -n || true; done
done
wait "${pids[@]}" || true
for name in "${names[@]}"; do
  if [ "$(cat "$work/$name.status" 2>/dev/null)" = 0 ]; then
    grep -E "stat::number_of_executed_units|Done" "$work/$name.log" | tail -2
    stage_pass "fuzz_$name for ${seconds}s"
  else
    tail -40 "$work/$name.log"
    stage_fail "fuzz_$name"
  fi
done
stage_end
