#!/usr/bin/env bash
# Whole process, capture to PNG file, on a Wayland desktop: the headless sway
# rig with one 1920x1080 output showing ../shared/bench/desktop-1920x1080.png,
# our command-line program against grim at our zlib level (-l 8) and at its
# default, in one hyperfine run so a change in the machine's load falls on
# every tool alike. As root:
#
#   bench/wayland.sh [--quick] [OUT_DIR]
#
# The program comes from $VS_BUILD_DIR/cli (default build-perf/cli). It takes
# part only when its capture is the picture on the screen pixel for pixel
# (a build that cannot capture through Wayland is left out, and the table
# says why); grim's captures are checked the same way. Writes
# OUT_DIR/wayland.md (the table), wayland.json (hyperfine's) and the
# captures; OUT_DIR defaults to build-perf/bench-results/wayland.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
image=$repo/../shared/bench/desktop-1920x1080.png
python=/usr/bin/python3
runs=40
warmup=5
if [ "${1:-}" = --quick ]; then
  runs=5
  warmup=1
  shift
fi
out=${1:-$repo/build-perf/bench-results/wayland}
build=$(realpath -m "${VS_BUILD_DIR:-$repo/build-perf}")
ours=$build/cli/vantorel-screenshot

if [ "$(id -u)" -ne 0 ]; then
  echo "bench/wayland.sh: run as root (the rig starts sway as its own user)" >&2
  exit 1
fi
for tool in hyperfine grim; do
  command -v "$tool" >/dev/null || { echo "bench/wayland.sh: $tool is not installed" >&2; exit 1; }
done
[ -f "$image" ] || { echo "bench/wayland.sh: no bench image at $image" >&2; exit 1; }
image=$(realpath "$image")
mkdir -p "$out"
out=$(realpath "$out")
rm -f "$out"/*.png "$out/wayland.md" "$out/wayland.json"

eval "$("$repo/rig/sway-start.sh" --mode 1920x1080 --picture "$image")"
trap '"$repo/rig/sway-stop.sh" "$RIG_DIR"' EXIT
echo "sway rig on $WAYLAND_DISPLAY: HEADLESS-1 1920x1080 showing $image"

same() { "$python" "$repo/rig/sway_pictures.py" same "$1" "$image"; }

# name|command
tools=()
left_out=""
if [ -x "$ours" ]; then
  if ! check=$("$ours" all "$out/ours.png" 2>&1); then
    left_out="\`vantorel-screenshot all\` left out: it failed ($check)"
  elif ! check=$(same "$out/ours.png"); then
    left_out="\`vantorel-screenshot all\` left out: its capture is not the screen ($check)"
  else
    tools+=("vantorel-screenshot all|$ours all $out/ours.png")
  fi
else
  left_out="\`vantorel-screenshot all\` left out: no program at $ours (set VS_BUILD_DIR)"
fi
tools+=("grim -l 8|grim -l 8 $out/grim-l8.png" "grim|grim $out/grim.png")
[ -z "$left_out" ] || echo "$left_out"

args=()
for t in "${tools[@]}"; do args+=(-n "${t%%|*}" "${t#*|}"); done
echo "load before: $(uptime)"
hyperfine -N --style none --warmup "$warmup" --runs "$runs" --export-json "$out/wayland.json" \
  "${args[@]}" >/dev/null 2>"$out/hyperfine.log" || { cat "$out/hyperfine.log" >&2; exit 1; }
echo "load after: $(uptime)"

for t in "${tools[@]}"; do
  file=${t##* }
  check=$(same "$file") || { echo "bench/wayland.sh: ${t%%|*} did not capture the screen: $check" >&2; exit 1; }
done

"$python" - "$out" "$left_out" "$(uptime)" <<'EOF' | tee "$out/wayland.md"
import json, os, statistics, sys
out, left_out, load = sys.argv[1:4]
results = json.load(open(os.path.join(out, "wayland.json")))["results"]
median = {r["command"]: statistics.median(r["times"]) * 1000 for r in results}
base = median.get("grim -l 8")
print("Whole process, capture to PNG file, one 1920x1080 output (headless sway 1.7, pixman)")
print("showing desktop-1920x1080.png; %d runs each in one hyperfine run; load at the end: %s"
      % (len(results[0]["times"]), load.split("load average:")[-1].strip()))
print()
print("| command | median ms | mean ± σ ms | min ms | mean user + sys ms | PNG bytes | median / grim -l 8 |")
print("|---|---:|---:|---:|---:|---:|---:|")
for r in results:
    name = r["command"]
    files = {"vantorel-screenshot all": "ours.png", "grim -l 8": "grim-l8.png", "grim": "grim.png"}
    size = os.path.getsize(os.path.join(out, files[name]))
    ratio = "%.2f" % (median[name] / base) if base else "-"
    print("| `%s` | %.1f | %.1f ± %.1f | %.1f | %.1f | %d | %s |" % (
        name, median[name], r["mean"] * 1000, r["stddev"] * 1000, r["min"] * 1000,
        (r["user"] + r["system"]) * 1000, size, ratio))
if left_out:
    print()
    print(left_out)
EOF
