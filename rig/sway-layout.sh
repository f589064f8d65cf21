#!/usr/bin/env bash
# Changes the outputs of the running sway rig ($RIG_DIR, from
# rig/sway-start.sh) and puts fresh pictures on them, so a test can go from
# one layout to the next without a new compositor:
#
#   rig/sway-layout.sh --scale NAME S          output NAME at integer scale S
#   rig/sway-layout.sh --transform NAME T      output NAME turned (90, ...)
#   rig/sway-layout.sh --output-cmd 'NAME ARGS'  any sway `output NAME ARGS`
#   rig/sway-layout.sh --reset                 back to the layout it started
#                                              with (before any option)
#   rig/sway-layout.sh                         pictures only (the start)
#
# Each output then shows a picture of its logical size times its scale, 1:1
# (rig/sway_pictures.py; the --picture given at the start stays on the
# first output), $RIG_DIR/outputs lists them as
#
#   NAME X Y WIDTH HEIGHT SCALE TRANSFORM PICTURE
#
# and the script returns once grim reads every output back as its picture.
# On a labwc rig only the pictures are put up (no option is taken): its
# outputs come from wlr-randr, each picture from a swaybg client of its own.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=rig/wlroots-lib.sh
. "$here/wlroots-lib.sh"
python=/usr/bin/python3
rig_dir=${RIG_DIR:-}
if [ -z "$rig_dir" ] || [ ! -f "$rig_dir/env" ]; then
  echo "rig/sway-layout.sh: no sway rig (RIG_DIR)" >&2
  exit 1
fi
# shellcheck disable=SC1091
. "$rig_dir/env"

commands=()
while [ $# -gt 0 ]; do
  case "$1" in
    --scale) commands+=("output $2 scale $3"); shift 3 ;;
    --transform) commands+=("output $2 transform $3"); shift 3 ;;
    --output-cmd) commands+=("output $2"); shift 2 ;;
    --reset) mapfile -t -O "${#commands[@]}" commands <"$rig_dir/base-layout"; shift ;;
    *) echo "rig/sway-layout.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
done

fail() {
  echo "rig/sway-layout.sh: $*" >&2
  exit 1
}
msg() { rig_tool "$rig_dir" timeout 10 swaymsg "$@"; }
compositor=$(cat "$rig_dir/compositor" 2>/dev/null || echo sway)
if [ "$compositor" = labwc ] && [ ${#commands[@]} -gt 0 ]; then
  fail "the labwc rig takes no layout changes"
fi
sway_alive() { kill -0 "$(cat "$rig_dir/sway.pid")" 2>/dev/null; }

if [ ${#commands[@]} -gt 0 ]; then
  joined=$(printf '%s; ' "${commands[@]}")
  msg "${joined%; }" >"$rig_dir/swaymsg.out" || fail "sway refused '${joined%; }': $(cat "$rig_dir/swaymsg.out")"
fi

# New file names each time: swaybg then surely loads the new pictures.
generation=$(($(cat "$rig_dir/generation" 2>/dev/null || echo 0) + 1))
echo "$generation" >"$rig_dir/generation"
if [ "$compositor" = labwc ]; then
  rig_tool "$rig_dir" timeout 10 wlr-randr --json >"$rig_dir/outputs.json" || fail "wlr-randr --json failed"
else
  msg -t get_outputs -r >"$rig_dir/outputs.json" || fail "swaymsg get_outputs failed"
fi
"$python" - "$rig_dir" "$here/sway_pictures.py" "$generation" "$compositor" <<'EOF' >"$rig_dir/outputs.new" || fail "no pictures for the outputs"
import json, os, shutil, subprocess, sys
rig_dir, generator, generation, compositor = sys.argv[1:5]
given = os.path.join(rig_dir, "given.png")


def from_wlr_randr(o):
    # wlr-randr tells the mode in buffer pixels; the logical size follows
    # from the scale and whether the transform turns it a quarter.
    mode = next(m for m in o["modes"] if m.get("current"))
    turned = o["transform"] in ("90", "270", "flipped-90", "flipped-270")
    w, h = (mode["height"], mode["width"]) if turned else (mode["width"], mode["height"])
    scale = o["scale"]
    return {"name": o["name"], "active": o["enabled"], "scale": scale, "transform": o["transform"],
            "rect": {"x": o["position"]["x"], "y": o["position"]["y"],
                     "width": round(w / scale), "height": round(h / scale)}}


listed = json.load(open(os.path.join(rig_dir, "outputs.json")))
if compositor == "labwc":
    listed = [from_wlr_randr(o) for o in listed]
outputs = [o for o in listed if o.get("active", True)]
for index, o in enumerate(outputs, 1):
    r, scale = o["rect"], o["scale"]
    if scale != int(scale):
        sys.exit("output %s: a fractional scale (%s) is not shown 1:1" % (o["name"], scale))
    scale = int(scale)
    path = os.path.join(rig_dir, "%s.%s.png" % (o["name"], generation))
    if index == 1 and os.path.exists(given):
        from PIL import Image
        size = Image.open(given).size
        need = (r["width"] * scale, r["height"] * scale)
        if size != need:
            sys.exit("the given picture is %dx%d, output %s needs %dx%d" % (*size, o["name"], *need))
        shutil.copyfile(given, path)
    else:
        subprocess.run([sys.executable, generator, "generate", path,
                        str(r["width"]), str(r["height"]), str(index), str(scale)], check=True)
    os.chmod(path, 0o644)
    print(o["name"], r["x"], r["y"], r["width"], r["height"], scale, o["transform"], path)
EOF
[ -s "$rig_dir/outputs.new" ] || fail "the compositor reports no outputs"
if [ "$compositor" = labwc ]; then
  # One swaybg per output, the last generation's ended once the new one is up.
  for old in "$rig_dir"/swaybg-*.pid; do
    [ -e "$old" ] && mv "$old" "$old.old"
  done
  while read -r name _ _ _ _ _ _ path; do
    rig_user_start "$rig_dir" "$rig_dir/swaybg-$name.log" swaybg -o "$name" -i "$path" -m stretch
    echo "$rig_started" >"$rig_dir/swaybg-$name.pid"
  done <"$rig_dir/outputs.new"
else
  commands=()
  while read -r name _ _ _ _ _ _ path; do
    commands+=("output $name bg $path stretch")
  done <"$rig_dir/outputs.new"
  joined=$(printf '%s; ' "${commands[@]}")
  msg "${joined%; }" >/dev/null || fail "swaymsg could not set the backgrounds"
fi

# swaybg draws a moment later: done once grim reads every output back as its
# picture (grim gives an output in its logical orientation at its scale).
deadline=$((SECONDS + 30))
while :; do
  why=""
  while read -r name _ _ _ _ _ _ path; do
    shot=$rig_dir/check-$name.png
    if ! rig_tool "$rig_dir" timeout 10 grim -o "$name" "$shot" 2>"$rig_dir/grim.err"; then
      why="grim -o $name failed: $(cat "$rig_dir/grim.err")"
      break
    fi
    if ! diff=$("$python" "$here/sway_pictures.py" same "$shot" "$path"); then
      why="output $name does not show its picture: $diff"
      break
    fi
  done <"$rig_dir/outputs.new"
  [ -n "$why" ] || break
  [ $SECONDS -lt $deadline ] || fail "$why (after 30 s)"
  sway_alive || fail "$compositor is gone"
  sleep 0.1
done
rm -f "$rig_dir"/check-*.png "$rig_dir/grim.err"
for old in "$rig_dir"/swaybg-*.pid.old; do
  [ -e "$old" ] || continue
  pid=$(cat "$old")
  if { tr '\0' ' ' <"/proc/$pid/cmdline"; } 2>/dev/null | grep -qF "$rig_dir/"; then kill "$pid" 2>/dev/null || true; fi
  rm -f "$old"
done
mv "$rig_dir/outputs.new" "$rig_dir/outputs"
for old in "$rig_dir"/HEADLESS-*.png; do
  [ -e "$old" ] || continue
  grep -qF " $old" "$rig_dir/outputs" || rm -f "$old"
done
