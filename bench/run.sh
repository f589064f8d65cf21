#!/usr/bin/env bash
# All the speed and memory figures in one run, on Debian 12 as root:
#
#   bench/run.sh [--quick]
#
#  1. installs what it needs (the build's packages, the rig's Xorg, and the
#     peers: hyperfine, scrot, maim, imagemagick, ffmpeg, GNU time; valgrind);
#  2. builds a Release tree in build-perf/;
#  3. pngenc_encode_rgba against a bare stbi_write_png_to_mem (no display):
#     time, in interleaved pairs, and instructions under callgrind;
#  4. starts the rig, one 1920x1080 monitor, and there: capture_rect_rgba
#     against a bare MIT-SHM get-image plus one pass, and a 64x64
#     screenshot_capture_region_mem per call;
#  5. puts ../shared/bench/desktop-1920x1080.png on the screen, measures the
#     peak memory of a capture, times the steps of a one-shot capture in
#     fresh processes (bench/x11/bench_phases.cpp), and times the whole
#     process, capture to PNG file, of `vantorel-screenshot all` against
#     scrot, maim, import and ffmpeg x11grab (bench/whole_process.sh);
#  6. stops the rig; on the headless sway rig with one 1920x1080 output
#     showing the same picture, times `vantorel-screenshot all` through the
#     Wayland layer against `grim -l 8` and `grim` (bench/wayland.sh);
#  7. prints one table of every ratio of this run.
#
# Everything lands in build-perf/bench-results/ (summary.txt is the table).
# --quick takes fewer repetitions, for a check of the script itself.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build-perf
results=$build/bench-results
image=$repo/../shared/bench/desktop-1920x1080.png

reps=15
rounds=15
runs=6
phase_runs=31
if [ "${1:-}" = --quick ]; then
  phase_runs=5
  reps=3
  rounds=2
  runs=5
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "bench/run.sh: run as root (it installs packages and starts Xorg)" >&2
  exit 1
fi

# The benchmark's own tools come from here only, not from the project's
# dependency script: nothing else needs them.
packages=(cmake make g++ gcc pkg-config libstb-dev libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libxcb1-dev libxcb-shm0-dev libxcb-randr0-dev libxcb-composite0-dev
  libxcb-xinerama0-dev xserver-xorg-core xserver-xorg-video-dummy x11-xserver-utils x11-utils
  python3 hyperfine scrot maim imagemagick ffmpeg time valgrind)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f '${Status}\n' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
[ -f "$image" ] || { echo "bench/run.sh: no bench image at $image" >&2; exit 1; }

echo "== building Release in $build"
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVS_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target vantorel-screenshot-cli vs_bench_pngenc \
  vs_x11_capture_bench vs_bench_phases vs-bench-wallpaper vs-bench-peak >/dev/null

rm -rf "$results"
mkdir -p "$results"
cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')
{
  echo "date: $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "cpu: $cpu, $(nproc) cores"
  echo "commit: $(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)"
} >"$results/machine.txt"
echo "load at start: $(uptime)" | tee -a "$results/machine.txt"

echo "== pngenc_encode_rgba vs stbi_write_png_to_mem ($reps repetitions)"
"$build/bench/vs_bench_pngenc" --image="$image" --benchmark_repetitions="$reps" --benchmark_min_time=1 \
  --benchmark_enable_random_interleaving=true --benchmark_out="$results/pngenc.json" \
  --benchmark_out_format=json | tee "$results/pngenc.txt"

echo "== the same two encoders, one encode each, in instructions (callgrind)"
valgrind --tool=callgrind --callgrind-out-file="$results/pngenc.callgrind" \
  "$build/bench/vs_bench_pngenc" --image="$image" --once >/dev/null 2>"$results/pngenc.callgrind.log"
callgrind_annotate --inclusive=yes "$results/pngenc.callgrind" 2>/dev/null |
  sed -n 's/^ *\([0-9,]*\) .*:once_\([a-z_]*\)().*/\2 \1/p' | tr -d , | tee "$results/pngenc.instructions"

echo "== starting the rig at 1920x1080"
eval "$("$repo/rig/start.sh" --mode 1920x1080)"
stop_rig() { "$repo/rig/stop.sh" "$RIG_DIR" >/dev/null 2>&1 || true; }
trap stop_rig EXIT

echo "== capture_rect_rgba vs bare SHM get-image + one pass; 64x64 region_mem"
"$build/bench/x11/vs_x11_capture_bench" --benchmark_repetitions="$reps" \
  --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true --benchmark_out="$results/x11.json" \
  --benchmark_out_format=json | tee "$results/x11.txt"

echo "== the shared picture on the screen; peak memory of a capture"
"$build/bench/vs-bench-wallpaper" "$image"
"$build/bench/vs-bench-peak" "$results/peak.png" | tee "$results/peak.txt"

echo "== where the time of a one-shot capture goes ($phase_runs fresh processes)"
"$build/bench/x11/vs_bench_phases" "$results/phases.png" "$phase_runs" | tee "$results/phases.txt"

echo "== whole process, capture to PNG file ($rounds rounds of $runs runs per tool)"
VS_BENCH_REFERENCE=$image "$repo/bench/whole_process.sh" "$build/cli/vantorel-screenshot" "$results/whole" "$rounds" "$runs" |
  tee "$results/whole.txt"

stop_rig
trap - EXIT

echo "== Wayland: whole process on the sway rig, ours against grim"
if [ "${1:-}" = --quick ]; then wayland_args=(--quick); else wayland_args=(); fi
VS_BUILD_DIR=$build "$repo/bench/wayland.sh" "${wayland_args[@]}" "$results/wayland"
echo "load at end: $(uptime)" | tee -a "$results/machine.txt"

python3 - "$results" <<'EOF' | tee "$results/summary.txt"
import json, os, sys
res = sys.argv[1]

def medians(path):
    out = {}
    for b in json.load(open(path))["benchmarks"]:
        if b.get("aggregate_name") == "median":
            scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]
            out[b["run_name"].split("/")[0]] = (b["real_time"] * scale, b["cpu_time"] * scale)
    return out

print()
print(open(os.path.join(res, "machine.txt")).read().rstrip())
print()
print(f"{'measure':58} {'ours':>10} {'other':>10} {'ratio':>7}  target")
p = medians(os.path.join(res, "pngenc.json"))
paired = [b for b in json.load(open(os.path.join(res, "pngenc.json")))["benchmarks"]
          if b["run_name"].startswith("BM_paired") and b.get("aggregate_name") == "median"]
if paired:
    print(f"{'pngenc_encode_rgba / stbi_write_png_to_mem, paired CPU time':58} {'':10} {'':10} "
          f"{paired[0]['ratio']:7.3f}  <= 0.55")
for name, label, target in (("BM_deflate_paired", "our compressor / stb's built-in, paired CPU time", "<= 0.35"),
                            ("BM_64x64_paired", "64x64 encoder: ours / stb's, paired CPU time", "<= 0.50")):
    rows = [b for b in json.load(open(os.path.join(res, "pngenc.json")))["benchmarks"]
            if b["run_name"].startswith(name) and b.get("aggregate_name") == "median"]
    if rows:
        print(f"{label:58} {'':10} {'':10} {rows[0]['ratio']:7.3f}  {target}")
a, b = p["BM_pngenc_encode_rgba"], p["BM_stbi_write_png_to_mem"]
print(f"{'pngenc_encode_rgba / stbi_write_png_to_mem, real ms':58} {a[0]:10.2f} {b[0]:10.2f} {a[0]/b[0]:7.3f}  <= 0.55")
print(f"{'pngenc_encode_rgba / stbi_write_png_to_mem, CPU ms':58} {a[1]:10.2f} {b[1]:10.2f} {a[1]/b[1]:7.3f}  <= 0.55")
ins = dict(l.split() for l in open(os.path.join(res, "pngenc.instructions")) if l.strip())
if len(ins) == 2:
    ia, ib = int(ins["pngenc_encode_rgba"]), int(ins["stbi_write_png_to_mem"])
    print(f"{'pngenc_encode_rgba / stbi_write_png_to_mem, M instructions':58} {ia/1e6:10.1f} {ib/1e6:10.1f} "
          f"{ia/ib:7.4f}  <= 0.55")
o2 = p.get("BM_stbi_write_png_to_mem_O2")
if o2:
    print(f"{'pngenc_encode_rgba / the writer at plain -O2, CPU ms':58} {a[1]:10.2f} {o2[1]:10.2f} {a[1]/o2[1]:7.3f}  (build options)")
x = medians(os.path.join(res, "x11.json"))
c, f = x["BM_capture_rect_rgba"], x["BM_floor_shm_get_image"]
print(f"{'capture_rect_rgba / SHM get-image + one pass, real ms':58} {c[0]:10.3f} {f[0]:10.3f} {c[0]/f[0]:7.3f}  <= 1.10")
s = x["BM_shm_get_image_only"]
print(f"{'  (SHM get-image alone, real ms)':58} {s[0]:10.3f}")
r = x["BM_screenshot_capture_region_mem_64x64"]
print(f"{'screenshot_capture_region_mem 64x64, us per call (real/CPU)':58} {r[0]*1000:10.0f} {r[1]*1000:10.0f}")
for step, label in (("BM_step_enumerate_monitors", "monitor enumeration (one round trip)"),
                    ("BM_step_capture_rect_rgba_64x64", "capture_rect_rgba 64x64 (one round trip)"),
                    ("BM_step_pngenc_encode_rgba_64x64", "pngenc_encode_rgba 64x64")):
    if step in x:
        print(f"{'  of which ' + label + ', us':58} {x[step][0]*1000:10.0f} {x[step][1]*1000:10.0f}")
print(f"{'peak memory of a capture':58} " + open(os.path.join(res, "peak.txt")).read().strip())
print()
print("the steps of a one-shot capture to a file, in fresh processes:")
print(open(os.path.join(res, "phases.txt")).read().rstrip())
print()
rows = [l.split("\t") for l in open(os.path.join(res, "whole", "whole_process.tsv")).read().splitlines()]
head, body = rows[0], rows[1:]
print("whole process, capture to PNG file, 1920x1080 (wall: medians; CPU: user + system, mean;")
print("ratio < 1: ours is faster; targets: ours/scrot <= 1.15, ours/maim, ffmpeg, import <= 0.67)")
print(f"{'tool':8} {'median ms':>10} {'min ms':>8} {'ours/tool':>10} {'CPU ms':>8} {'ours/tool':>10} "
      f"{'PNG bytes':>10} {'peak RSS KiB':>13}")
for row in body:
    if len(row) == 8:
        print(f"{row[0]:8} {row[1]:>10} {row[2]:>8} {row[3]:>10} {row[4]:>8} {row[5]:>10} {row[6]:>10} "
              f"{row[7]:>13}")
    else:
        print(f"ours, peak RSS above the 'version' process: {row[1]} frames")
print()
print(open(os.path.join(res, "wayland", "wayland.md")).read().rstrip())
EOF
