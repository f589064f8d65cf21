#!/usr/bin/env bash
# Whole-process capture time of two builds of the Windows DLL under the
# host's Wine, paired: the command-line program writes the whole screen of a
# 1920x1080 rig to a PNG file, once with each DLL beside it. The two take
# turns, ROUNDS hyperfine runs of RUNS timings each, one and then the other
# leading, so a change in the machine's load falls on both alike; the figure
# is the median over rounds of each round's after/before ratio of mean wall
# times, with the medians of all timings beside it.
#
#   bench/wine_dll_paired.sh BEFORE.dll AFTER.dll [ROUNDS RUNS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
before=$(realpath "${1:?usage: wine_dll_paired.sh BEFORE.dll AFTER.dll [ROUNDS RUNS]}")
after=$(realpath "${2:?usage: wine_dll_paired.sh BEFORE.dll AFTER.dll [ROUNDS RUNS]}")
rounds=${3:-15}
runs=${4:-6}
exe=$root/build-win64/vantorel-screenshot.exe
[ -f "$exe" ] || { echo "no $exe: run scripts/build-windows.sh" >&2; exit 1; }

work=$(mktemp -d /tmp/vs-wine-bench.XXXXXX)
eval "$("$root/rig/start.sh" --mode 1920x1080)"
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  "$root/rig/stop.sh" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
DISPLAY=$DISPLAY xrandr --query >/dev/null

for side in before after; do
  mkdir -p "$work/$side"
  cp "$exe" "$work/$side/"
  if [ "$side" = before ]; then cp "$before" "$work/$side/vantorel-screenshot.dll"; fi
  if [ "$side" = after ]; then cp "$after" "$work/$side/vantorel-screenshot.dll"; fi
done
# One wineserver for all runs: what is timed is the process, not Wine's start.
mkdir -p "$WINEPREFIX"
/usr/lib/wine/wineserver -p
/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
for side in before after; do
  /usr/lib/wine/wine64 "$work/$side/vantorel-screenshot.exe" all "$work/$side.png"
done
cmp -s "$work/before.png" "$work/after.png" || echo "note: the two PNGs differ"

# Odd rounds run the old DLL first, even rounds the new one.
for round in $(seq 1 "$rounds"); do
  sides=(before after)
  if [ $((round % 2)) -eq 0 ]; then sides=(after before); fi
  args=()
  for side in "${sides[@]}"; do
    args+=(-n "$side" "/usr/lib/wine/wine64 $work/$side/vantorel-screenshot.exe all $work/$side.png")
  done
  hyperfine -N --warmup 1 --runs "$runs" --export-json "$work/round-$round.json" "${args[@]}" \
    >/dev/null
done

python3 - "$work" "$rounds" <<'PY'
import json, statistics, sys
work, rounds = sys.argv[1], int(sys.argv[2])
times = {"before": [], "after": []}
ratios = []
for r in range(1, rounds + 1):
    res = {x["command"]: x for x in json.load(open(f"{work}/round-{r}.json"))["results"]}
    for side in times:
        times[side] += res[side]["times"]
    ratios.append(res["after"]["mean"] / res["before"]["mean"])
for side in ("before", "after"):
    print(f"{side:7} median {statistics.median(times[side]) * 1000:8.1f} ms over {len(times[side])} runs")
print(f"after/before, median of {rounds} paired rounds: {statistics.median(ratios):.3f} "
      f"(rounds from {min(ratios):.3f} to {max(ratios):.3f})")
PY
