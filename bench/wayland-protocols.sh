#!/usr/bin/env bash
# Whole process, capture to PNG file, on sway 1.12 (the sid chroot's, through
# rig/sway-start.sh --chroot sid) with one 1920x1080 output showing
# ../shared/bench/desktop-1920x1080.png: ext-image-copy-capture against
# wlroots' screen copy on the same compositor, in one run whose rounds take
# every command in turn, so a change in the machine's load falls on all of
# them alike. As root:
#
#   bench/wayland-protocols.sh [--quick] [OUT_DIR]
#
# The commands: our command-line program (which picks ext by itself),
# vs_bench_wl_protocol ext and wlr (bench/wayland/: the same capture with the
# protocol chosen), and grim. Each must capture the picture on the screen
# pixel for pixel, and each of ours must have spoken the protocol it is named
# for (WAYLAND_DEBUG=client), or the run stops. ROUNDS hyperfine runs (20;
# 3 with --quick) of RUNS timings (4; 2) of each command; the medians are
# over all of a command's timings, and CPU time (user + system), which other
# work on a busy machine disturbs less, is shown beside them. Programs from
# $VS_BUILD_DIR (default build-perf); the picture from $VS_BENCH_IMAGE if
# set. Writes OUT_DIR/wayland-protocols.md (the table) and round-N.json
# (hyperfine's); OUT_DIR defaults to build-perf/bench-results/wayland-protocols.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
image=${VS_BENCH_IMAGE:-$repo/../shared/bench/desktop-1920x1080.png}
python=/usr/bin/python3
rounds=20
runs=4
if [ "${1:-}" = --quick ]; then
  rounds=3
  runs=2
  shift
fi
out=${1:-$repo/build-perf/bench-results/wayland-protocols}
build=$(realpath -m "${VS_BUILD_DIR:-$repo/build-perf}")
ours=$build/cli/vantorel-screenshot
chooser=$build/bench/wayland/vs_bench_wl_protocol

if [ "$(id -u)" -ne 0 ]; then
  echo "bench/wayland-protocols.sh: run as root (the rig runs sway in a chroot)" >&2
  exit 1
fi
for tool in hyperfine grim "$ours" "$chooser"; do
  command -v "$tool" >/dev/null || { echo "bench/wayland-protocols.sh: no $tool (build it, or install it)" >&2; exit 1; }
done
[ -f "$image" ] || { echo "bench/wayland-protocols.sh: no bench image at $image" >&2; exit 1; }
image=$(realpath "$image")
mkdir -p "$out"
out=$(realpath "$out")
rm -f "$out"/*.png "$out"/*.log "$out"/*.json "$out/wayland-protocols.md"

"$repo/rig/chroot.sh" ensure sid sid sway swaybg grim >/dev/null
eval "$("$repo/rig/sway-start.sh" --chroot sid --mode 1920x1080 --picture "$image")"
trap '"$repo/rig/sway-stop.sh" "$RIG_DIR"' EXIT
version=$("$repo/rig/chroot.sh" run sid -- dpkg-query -W -f="\${Version}" sway)
echo "sway $version (sid) on $WAYLAND_DISPLAY: HEADLESS-1 1920x1080 showing $image"

same() { "$python" "$repo/rig/sway_pictures.py" same "$1" "$image"; }
# name|command|protocol it must speak (ext, wlr, or - for grim)
tools=("vantorel-screenshot all|$ours all $out/ours.png|ext"
  "vs_bench_wl_protocol ext|$chooser ext $out/ext.png|ext"
  "vs_bench_wl_protocol wlr|$chooser wlr $out/wlr.png|wlr"
  "grim|grim $out/grim.png|-")
for t in "${tools[@]}"; do
  name=${t%%|*} rest=${t#*|}
  command=${rest%|*} protocol=${rest##*|}
  # shellcheck disable=SC2086
  WAYLAND_DEBUG=client $command 2>"$out/debug.log" >/dev/null ||
    { echo "bench/wayland-protocols.sh: $name failed: $(grep -v '^\[' "$out/debug.log")" >&2; exit 1; }
  ext=0 wlr=0
  grep -Eq 'ext_image_copy_capture_manager_v1[@#][0-9]+\.create_session' "$out/debug.log" && ext=1
  grep -Eq 'zwlr_screencopy_manager_v1[@#][0-9]+\.capture_output' "$out/debug.log" && wlr=1
  case "$protocol/$ext/$wlr" in
    ext/1/0 | wlr/0/1 | -/*) ;;
    *) echo "bench/wayland-protocols.sh: $name did not speak $protocol alone (ext $ext, wlr $wlr)" >&2; exit 1 ;;
  esac
  file=${command##* }
  check=$(same "$file") || { echo "bench/wayland-protocols.sh: $name did not capture the screen: $check" >&2; exit 1; }
done
rm -f "$out/debug.log"

args=()
for t in "${tools[@]}"; do
  rest=${t#*|}
  args+=(-n "${t%%|*}" "${rest%|*}")
done
echo "load before: $(uptime)"
for r in $(seq 1 "$rounds"); do
  hyperfine -N --style none --warmup 1 --runs "$runs" --export-json "$out/round-$r.json" \
    "${args[@]}" >/dev/null 2>"$out/hyperfine.log" || { cat "$out/hyperfine.log" >&2; exit 1; }
done
echo "load after: $(uptime)"
for t in "${tools[@]}"; do
  rest=${t#*|}
  command=${rest%|*}
  check=$(same "${command##* }") || { echo "bench/wayland-protocols.sh: ${t%%|*} did not capture the screen: $check" >&2; exit 1; }
done

"$python" - "$out" "$rounds" "$version" "$(uptime)" <<'EOF' | tee "$out/wayland-protocols.md"
import json, os, statistics, sys
out, rounds, version, load = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
times, cpu, order = {}, {}, []
for r in range(1, rounds + 1):
    for result in json.load(open(os.path.join(out, "round-%d.json" % r)))["results"]:
        name = result["command"]
        if name not in times:
            order.append(name)
        times.setdefault(name, []).extend(result["times"])
        # hyperfine keeps user and system time as means over the round.
        cpu.setdefault(name, []).extend([result["user"] + result["system"]] * len(result["times"]))
median = {n: statistics.median(t) * 1000 for n, t in times.items()}
cpu_median = {n: statistics.median(c) * 1000 for n, c in cpu.items()}
base, cpu_base = median["vs_bench_wl_protocol wlr"], cpu_median["vs_bench_wl_protocol wlr"]
print("Whole process, capture to PNG file, one 1920x1080 output (headless sway %s from Debian sid," % version)
print("pixman) showing desktop-1920x1080.png; %d timings each over %d interleaved rounds; load at the end: %s"
      % (len(times[order[0]]), rounds, load.split("load average:")[-1].strip()))
print()
print("| command | protocol | median ms | mean ± σ ms | min ms | user + sys ms (median of rounds) | median / wlr | CPU / wlr |")
print("|---|---|---:|---:|---:|---:|---:|---:|")
protocols = {"vantorel-screenshot all": "ext (its own choice)", "vs_bench_wl_protocol ext": "ext",
             "vs_bench_wl_protocol wlr": "wlr", "grim": "wlr (grim 1.4)"}
for name in order:
    t = [v * 1000 for v in times[name]]
    print("| `%s` | %s | %.1f | %.1f ± %.1f | %.1f | %.1f | %.2f | %.2f |" % (
        name, protocols[name], median[name], statistics.mean(t), statistics.stdev(t), min(t),
        cpu_median[name], median[name] / base, cpu_median[name] / cpu_base))
EOF
