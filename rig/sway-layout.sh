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
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
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
msg() { timeout 10 swaymsg "$@"; }
sway_alive() { kill -0 "$(cat "$rig_dir/sway.pid")" 2>/dev/null; }

if [ ${#commands[@]} -gt 0 ]; then
  joined=$(printf '%s; ' "${commands[@]}")
  msg "${joined%; }" >"$rig_dir/swaymsg.out" || fail "sway refused '${joined%; }': $(cat "$rig_dir/swaymsg.out")"
fi

# New file names each time: swaybg then surely loads the new pictures.
generation=$(($(cat "$rig_dir/generation" 2>/dev/null || echo 0) + 1))
echo "$generation" >"$rig_dir/generation"
msg -t get_outputs -r >"$rig_dir/outputs.json" || fail "swaymsg get_outputs failed"
"$python" - "$rig_dir" "$here/sway_pictures.py" "$generation" <<'EOF' >"$rig_dir/outputs.new" || fail "no pictures for the outputs"
import json, os, shutil, subprocess, sys
rig_dir, generator, generation = sys.argv[1:4]
given = os.path.join(rig_dir, "given.png")
outputs = [o for o in json.load(open(os.path.join(rig_dir, "outputs.json"))) if o.get("active", True)]
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
commands=()
while read -r name _ _ _ _ _ _ path; do
  commands+=("output $name bg $path stretch")
done <"$rig_dir/outputs.new"
[ ${#commands[@]} -gt 0 ] || fail "sway reports no outputs"
joined=$(printf '%s; ' "${commands[@]}")
msg "${joined%; }" >/dev/null || fail "swaymsg could not set the backgrounds"

# swaybg draws a moment later: done once grim reads every output back as its
# picture (grim gives an output in its logical orientation at its scale).
deadline=$((SECONDS + 15))
while :; do
  why=""
  while read -r name _ _ _ _ _ _ path; do
    shot=$rig_dir/check-$name.png
    if ! timeout 10 grim -o "$name" "$shot" 2>"$rig_dir/grim.err"; then
      why="grim -o $name failed: $(cat "$rig_dir/grim.err")"
      break
    fi
    if ! diff=$("$python" "$here/sway_pictures.py" same "$shot" "$path"); then
      why="output $name does not show its picture: $diff"
      break
    fi
  done <"$rig_dir/outputs.new"
  [ -n "$why" ] || break
  [ $SECONDS -lt $deadline ] || fail "$why (after 15 s)"
  sway_alive || fail "sway is gone"
  sleep 0.1
done
rm -f "$rig_dir"/check-*.png "$rig_dir/grim.err"
mv "$rig_dir/outputs.new" "$rig_dir/outputs"
for old in "$rig_dir"/HEADLESS-*.png; do
  [ -e "$old" ] || continue
  grep -qF " $old" "$rig_dir/outputs" || rm -f "$old"
done
