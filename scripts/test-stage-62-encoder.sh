#!/usr/bin/env bash
# The compact encoder's goal, measured in this run on desktop pictures of its
# own (bench/desktops.py: busy and flat, 1920x1080): on the Xorg dummy rig
# against scrot and maim, on headless sway against grim, each at its
# defaults (bench/encoder.py). Per desktop and display: the program's PNG no
# larger than the smallest peer's, its pixels the screen's, Python's
# vs.grab().save() the same bytes, its whole process at most 0.6 of scrot's
# and 0.5 of grim's time (medians of paired rounds); and the capture
# exports still write stb's exact bytes, on the live screen and in the unit
# tests. Uses build/ (or $VS_BUILD_DIR). About two minutes. Ends with
# "N passed, N failed".
set -euo pipefail
# shellcheck source=scripts/stage-lib.sh
source "$(dirname "$0")/stage-lib.sh"
build=$(cd "${VS_BUILD_DIR:-$root/build}" && pwd)
export VS_BUILD_DIR=$build
work=$(mktemp -d /tmp/vs-stage62.XXXXXX)
stage_defer rm -rf "$work"

for program in cli/vantorel-screenshot bench/vs-bench-wallpaper bench/vs-bench-stb-exact \
  tests/vs_encode_tests tests/vs_unit_tests; do
  [ -x "$build/$program" ] || stage_abort "$program is built in $build"
done
for tool in scrot maim grim; do
  command -v "$tool" >/dev/null || stage_abort "$tool is installed (scripts/install-deps.sh)"
done

stage_check_quiet "the encoder's unit tests" "$build/tests/vs_encode_tests"
stage_check_quiet "the capture exports' PNG is stb's, byte for byte (unit tests)" \
  "$build/tests/vs_unit_tests" --gtest_filter='PngEncode.SameBytesAsPlainStb:PngCaptureBytes.*'

# The benchmark starts and stops its own rigs; each of its goal lines is one
# check here.
runs=${VS_ENCODER_RUNS:-15}
# Sizes, pixels and bytes are exact; only the time ratios depend on what else
# the machine does. A run whose only misses are time ratios is measured once
# more, and the second run's lines count.
bench() { /usr/bin/python3 "$root/bench/encoder.py" --runs "$runs" --out "$work" >"$work/bench.log" 2>&1; }
if bench && { ! grep '^goal ' "$work/bench.log" | grep -v ': ok' | grep -q . ||
  grep '^goal ' "$work/bench.log" | grep -v ': ok' | grep -qv 'time at most' ||
  { echo "only time ratios missed; measuring once more:" &&
    grep '^goal ' "$work/bench.log" | grep -v ': ok' && bench; }; }; then
  sed -n '/^|/p' "$work/bench.log"
  while IFS= read -r line; do
    what=${line#goal }
    what=${what%%: *}
    verdict=${line#*: }
    case "$verdict" in
      ok*) stage_pass "$what${verdict#ok}" ;;
      *) stage_fail "$what" "${verdict#FAILED }" ;;
    esac
  done < <(grep '^goal ' "$work/bench.log")
  [ "$(grep -c '^goal ' "$work/bench.log")" -ge 18 ] ||
    stage_fail "every goal measured" "$(grep -c '^goal ' "$work/bench.log") goal lines"
else
  stage_fail "the encoder benchmark ran" "$(tail -n 20 "$work/bench.log")"
fi
stage_end
