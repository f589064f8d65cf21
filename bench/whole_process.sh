#!/usr/bin/env bash
# Whole process, capture to PNG file, on the X screen at $DISPLAY: our
# command-line program against the tools people use instead, each writing a
# PNG of the whole screen. Wall time with hyperfine, peak resident size with
# GNU time. Meant for a rig showing a fixed picture (bench/run.sh sets it up).
#
#   bench/whole_process.sh OURS_PROGRAM OUT_DIR [ROUNDS RUNS_PER_ROUND]
#
# Wall time is what a user waits for; CPU time (user + system, the means
# hyperfine keeps) suffers less from other work on a busy machine. The tools
# take turns: ROUNDS hyperfine runs over all of them, RUNS_PER_ROUND
# timings each, so a change in the machine's load falls on every tool alike;
# the medians are over all of a tool's timings. Tools that are not installed
# are left out. Writes OUT_DIR/whole_process.tsv (one line per tool) and
# prints a table.
set -euo pipefail

ours=${1:?usage: whole_process.sh OURS_PROGRAM OUT_DIR [ROUNDS RUNS_PER_ROUND]}
out=${2:?usage: whole_process.sh OURS_PROGRAM OUT_DIR [ROUNDS RUNS_PER_ROUND]}
rounds=${3:-15}
runs=${4:-6}
rss_runs=7
: "${DISPLAY:?no DISPLAY: start the rig first}"
mkdir -p "$out"
ours=$(realpath "$ours")

size=$(xdpyinfo 2>/dev/null | awk '/dimensions:/ {print $2}' || true)
if [ -z "$size" ]; then
  size=$("$ours" monitors | python3 -c 'import json,sys; m=json.load(sys.stdin);
x0=min(e["x"] for e in m); y0=min(e["y"] for e in m)
x1=max(e["x"]+e["width"] for e in m); y1=max(e["y"]+e["height"] for e in m)
print(f"{x1-x0}x{y1-y0}")')
fi

# name|command. Every tool writes the pointer-free screen: maim and ffmpeg
# draw the cursor unless told not to.
tools=("ours|$ours all $out/ours.png")
command -v scrot >/dev/null && tools+=("scrot|scrot -o $out/scrot.png")
command -v maim >/dev/null && tools+=("maim|maim -u $out/maim.png")
command -v import >/dev/null && tools+=("import|import -silent -window root $out/import.png")
command -v ffmpeg >/dev/null &&
  tools+=("ffmpeg|ffmpeg -loglevel error -y -f x11grab -draw_mouse 0 -video_size $size -i $DISPLAY -frames:v 1 $out/ffmpeg.png")

args=()
for t in "${tools[@]}"; do args+=(-n "${t%%|*}" "${t#*|}"); done

echo "load before: $(uptime)"
for r in $(seq 1 "$rounds"); do
  hyperfine -N --style none --warmup 1 --runs "$runs" --export-json "$out/hyperfine-$r.json" \
    "${args[@]}" >/dev/null 2>"$out/hyperfine-$r.log" || { cat "$out/hyperfine-$r.log" >&2; exit 1; }
  echo "round $r of $rounds done"
done
echo "load after: $(uptime)"

# Every tool must have seen the same picture: with VS_BENCH_REFERENCE set to
# the PNG on the screen, the number of pixels each capture differs in.
if [ -n "${VS_BENCH_REFERENCE:-}" ] && command -v compare >/dev/null; then
  for t in "${tools[@]}"; do
    name=${t%%|*}
    diff=$(compare -metric AE "$out/$name.png" "$VS_BENCH_REFERENCE" null: 2>&1 || true)
    echo "$name: $diff pixels differ from the picture on the screen"
  done
fi

# Peak resident size, median of a few runs; for ours also the process's own
# baseline (library loaded, nothing captured) to see what a capture adds.
peak_rss_kib() {
  local i
  for i in $(seq 1 "$rss_runs"); do
    /usr/bin/time -f %M -o "$out/time.txt" "$@" >/dev/null
    cat "$out/time.txt"
  done | sort -n | sed -n "$(((rss_runs + 1) / 2))p"
}
: >"$out/rss.tsv"
for t in "${tools[@]}"; do
  read -r -a cmd <<<"${t#*|}"
  printf '%s\t%s\n' "${t%%|*}" "$(peak_rss_kib "${cmd[@]}")" >>"$out/rss.tsv"
done
printf 'ours-baseline\t%s\n' "$(peak_rss_kib "$ours" version)" >>"$out/rss.tsv"

python3 - "$out" "$size" "$rounds" <<'EOF'
import json, os, statistics, sys
out, size, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
times, cpu = {}, {}
for r in range(1, rounds + 1):
    with open(os.path.join(out, f"hyperfine-{r}.json")) as f:
        for res in json.load(f)["results"]:
            times.setdefault(res["command"], []).extend(res["times"])
            # hyperfine keeps only each round's mean of user and system time.
            cpu.setdefault(res["command"], []).append(res["user"] + res["system"])
rss = dict(line.split("\t") for line in open(os.path.join(out, "rss.tsv")).read().split("\n") if line)
w, h = (int(v) for v in size.split("x"))
frame_kib = w * h * 4 / 1024
ours = statistics.median(times["ours"]) * 1000
ours_cpu = statistics.mean(cpu["ours"]) * 1000
rows = []
print(f"\nwhole process on {size}, {len(times['ours'])} runs per tool, medians")
print(f"{'tool':8} {'median ms':>10} {'min ms':>8} {'ours/tool':>10} {'CPU ms':>8} {'ours/tool':>10} "
      f"{'PNG bytes':>10} {'peak RSS KiB':>13}")
for name, t in times.items():
    med = statistics.median(t) * 1000
    png = os.path.join(out, f"{name}.png")
    png_bytes = os.path.getsize(png) if os.path.exists(png) else 0
    ratio = ours / med
    c = statistics.mean(cpu[name]) * 1000
    print(f"{name:8} {med:10.1f} {min(t)*1000:8.1f} {ratio:10.3f} {c:8.1f} {ours_cpu / c:10.3f} "
          f"{png_bytes:10d} {rss[name].strip():>13}")
    rows.append(f"{name}\t{med:.1f}\t{min(t)*1000:.1f}\t{ratio:.3f}\t{c:.1f}\t{ours_cpu / c:.3f}\t"
                f"{png_bytes}\t{rss[name].strip()}")
base = int(rss["ours-baseline"])
peak = int(rss["ours"])
above = (peak - base) / frame_kib
print(f"ours: peak RSS {peak} KiB, baseline {base} KiB ('version'), "
      f"{peak - base} KiB above it = {above:.2f}x the {frame_kib:.0f} KiB frame (target < 3)")
with open(os.path.join(out, "whole_process.tsv"), "w") as f:
    f.write("tool\tmedian_ms\tmin_ms\tours_over_tool\tcpu_ms\tcpu_ours_over_tool\tpng_bytes\t"
            "peak_rss_kib\n")
    f.write("\n".join(rows) + "\n")
    f.write(f"ours_above_baseline_frames\t{above:.2f}\n")
EOF
