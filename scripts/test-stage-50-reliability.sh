#!/usr/bin/env bash
# Hostile input, faults and load, on a rig of the stage's own:
#   1. the unit tests, the rig tests and the reliability tests built with
#      AddressSanitizer + UndefinedBehaviorSanitizer (build-asan), halting on
#      the first error;
#   2. a capture loop of the shipped library under valgrind's memcheck and a
#      soak of 10,000 + 1,000 captures (build-rel);
#   3. four threads capturing at once under ThreadSanitizer, on the scripted
#      layer and on the rig (build-tsan).
# Ends with "N passed, N failed" (tests counted one by one) and fails on any
# failure.
set -euo pipefail
# shellcheck source=scripts/stage-lib.sh
source "$(dirname "$0")/stage-lib.sh"
cd "$root"
jobs=$(nproc)

# Runs a ctest command and counts its tests; a run that ends before counting
# (a crash of ctest, no tests) counts as one failure.
run_ctest() { # run_ctest NAME CTEST-ARGS...
  local name=$1 log status=0
  shift
  log=$(mktemp)
  stage_defer rm -f "$log"
  local log_deferred=$STAGE_DEFERRED
  "$@" --output-on-failure --no-tests=error 2>&1 | tee "$log" || status=$?
  local line total bad
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1 || true)
  stage_undefer "$log_deferred"
  if [ -z "$line" ]; then
    stage_count 0 1 "$name"
    return
  fi
  bad=$(sed -E 's/.* ([0-9]+) tests? failed out of.*/\1/' <<<"$line")
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  if [ "$status" -ne 0 ] && [ "$bad" -eq 0 ]; then bad=1; fi
  stage_count $((total - bad)) "$bad" "$name"
}

step() { # step NAME COMMAND...: one check
  local name=$1
  shift
  if "$@"; then stage_count 1 0 "$name"; else stage_count 0 1 "$name"; fi
}

# --- Builds --------------------------------------------------------------------

# -O0: the sanitizers find the same faults, the build takes a fifth of the
# time, and GCC 12 raises no false -Wmaybe-uninitialized in <regex> as at -O2.
echo "=== AddressSanitizer + UBSan build (build-asan)"
cmake -S . -B build-asan -DVS_SANITIZE=ON -DVS_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug \
  "-DCMAKE_CXX_FLAGS_DEBUG=-g1 -O0" >/dev/null
# Every test program and the library; not the benchmarks, the soak (its figure
# is the allocator's, which ASan replaces) or the install tree.
mapfile -t asan_targets < <(cmake --build build-asan --target help |
  sed -nE 's/^\.\.\. ([A-Za-z0-9_]+_tests)$/\1/p' | grep -v '^vs_rel_soak_tests$')
step "ASan build" cmake --build build-asan -j "$jobs" --target vantorel-screenshot "${asan_targets[@]}"

echo "=== plain build for valgrind and the soak (build-rel)"
cmake -S . -B build-rel -DVS_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
step "plain build" cmake --build build-rel -j "$jobs" --target vantorel-screenshot \
  vs_rel_capture_loop vs_rel_soak_tests

echo "=== ThreadSanitizer build (build-tsan)"
cmake -S . -B build-tsan -DVS_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-g1 -O1" \
  -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread \
  -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread -DVS_REL_PLAIN_ENCODER=ON >/dev/null
step "TSan build" stage_no_aslr cmake --build build-tsan -j "$jobs" --target vs_rel_concurrency_tests \
  vs_rel_concurrency_rig_tests

# --- On the rig ----------------------------------------------------------------

stage_rig
echo "rig on $DISPLAY"
export VS_X11_REQUIRED=1

echo "=== AddressSanitizer + UBSan: unit, rig and reliability tests"
# LeakSanitizer checks every test program for leaks when it exits.
VS_REL_SECONDS=2 ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  run_ctest "ASan + UBSan" ctest --test-dir build-asan -j "$jobs" \
  -LE 'install|reliability_soak|reliability_valgrind' -E '_NOT_BUILT'

echo "=== valgrind memcheck: the capture loop"
run_ctest "memcheck" ctest --test-dir build-rel -L reliability_valgrind

echo "=== soak: 10,000 captures to memory, 1,000 to files"
run_ctest "soak" ctest --test-dir build-rel -L reliability_soak -V

echo "=== ThreadSanitizer: four threads at once"
# Whole monitors on the default layout take a minute each under TSan; two
# small monitors show the same code at work.
step "small monitor layout" xrandr --output DUMMY0 --mode 640x400 --primary \
  --output DUMMY1 --mode 640x480 --left-of DUMMY0
export VS_REL_SECONDS=8
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  run_ctest "TSan" stage_no_aslr ctest --test-dir build-tsan -R '^rel\.(rig\.)?Concurrency\.' -E Unserialised -V

# The sanitizer must be able to see the library's own state: listings that
# nobody serialises race on the listing text, which is unguarded by design.
tsan_sees_listing_race() {
  local out
  out=$(TSAN_OPTIONS="halt_on_error=1" stage_no_aslr build-tsan/tests/reliability/vs_rel_concurrency_tests \
    --gtest_also_run_disabled_tests --gtest_filter='*DISABLED_Unserialised*' 2>&1 || true)
  grep -q "WARNING: ThreadSanitizer: data race" <<<"$out" &&
    grep -q "Location is global 's_mon_json'" <<<"$out"
}
step "TSan reports unserialised listings on s_mon_json" tsan_sees_listing_race

stage_end
