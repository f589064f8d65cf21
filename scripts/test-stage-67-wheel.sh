#!/usr/bin/env bash
# The Linux wheel as a pip user on any distribution gets it: one
# manylinux_2_X_x86_64 wheel (X at most 31) under 4 MB that auditwheel show
# accepts, installed with
#
#   pip install --no-index --find-links dist vantorel-screenshot
#
# into bare Debian 11, 12 and sid chroots (python3 and pip, no X11 or Wayland
# library at all). There it captures the host's Xvfb (chroots share the
# host's abstract X sockets) from Python and from the command on PATH, and
# each picture must be the screen, pixel for pixel: Xvfb's own framebuffer
# (-fbdir) is the reference. Forcing the Wayland layer there must name the
# missing library, and a wheel whose bundled libxcb-composite went missing
# must say so, not "library not found". On the host, the wheel's library
# (built on Debian 11's libwayland headers) must capture the sway rig as the
# tested build (build/, stage 60's) does.
#
# Uses the wheel stage 65 left in dist/ (VS_DIST_DIR), or builds it
# (scripts/build-wheel-linux.sh). The chroots are made by
# scripts/prepare-chroots.sh ahead of the run. Needs root. Ends with
# "N passed, N failed".
set -euo pipefail
# shellcheck source=scripts/stage-lib.sh
source "$(dirname "$0")/stage-lib.sh"
cd "$root"
start=$(date +%s)
chroot=$root/rig/chroot.sh
dist=$(mkdir -p "${VS_DIST_DIR:-$root/dist}" && cd "${VS_DIST_DIR:-$root/dist}" && pwd)
suites=(bullseye bookworm sid)
# What a bare chroot holds (scripts/prepare-chroots.sh makes them too).
bare_packages=(python3 python3-pip)

shopt -s nullglob
wheels=("$dist"/vantorel_screenshot-*-manylinux_*_x86_64.whl)
if [ ${#wheels[@]} -eq 0 ]; then
  mkdir -p "$root/build-wheel"
  scripts/build-wheel-linux.sh "$dist" >"$root/build-wheel/stage67.log" 2>&1 || {
    tail -n 40 "$root/build-wheel/stage67.log"
    stage_abort "scripts/build-wheel-linux.sh"
  }
  wheels=("$dist"/vantorel_screenshot-*-manylinux_*_x86_64.whl)
fi
shopt -u nullglob

# --- The wheel -------------------------------------------------------------------

stage_check "one manylinux wheel in dist/" test ${#wheels[@]} -eq 1
wheel=${wheels[0]}
echo "wheel: $(basename "$wheel"), $(stat -c %s "$wheel") bytes"
glibc_minor=$(basename "$wheel" | sed -n 's/.*-manylinux_2_\([0-9]*\)_x86_64\.whl$/\1/p')
stage_check "its tag asks for glibc 2.31 at most" test "${glibc_minor:-99}" -le 31
stage_check "under 4 MB" test "$(stat -c %s "$wheel")" -lt $((4 * 1024 * 1024))
"$chroot" ensure sid-wheeltools sid python3-auditwheel patchelf >/dev/null
shown=$("$chroot" run sid-wheeltools -- auditwheel show "$wheel" 2>&1 || true)
if tr -s ' \n' ' ' <<<"$shown" | grep -q "consistent with the following platform tag: \"manylinux_2_${glibc_minor}_x86_64\""; then
  stage_pass "auditwheel show: manylinux_2_${glibc_minor}_x86_64"
else
  stage_fail "auditwheel show" "$shown"
fi

# --- Installed into bare chroots ---------------------------------------------------

# A screen with a pattern whose every pixel is known from Xvfb's framebuffer.
fbdir=$(mktemp -d /tmp/vs-stage67-fb.XXXXXX)
out=$(mktemp -d /tmp/vs-stage67.XXXXXX)
chmod 755 "$out"
stage_defer rm -rf "$fbdir" "$out"
stage_xvfb -screen 0 400x300x24 -fbdir "$fbdir" -noreset
xsetroot -mod 7 5 -fg '#e05020' -bg '#2060a0'
echo "Xvfb on $DISPLAY"

# The checks inside one chroot; their results as lines "ok: WHAT" or
# "FAILED: WHAT: WHY" on standard output, the pictures into $out.
# shellcheck disable=SC2016
inside='
out=$1 suite=$2
say() { if [ "$1" = 0 ]; then echo "ok: $suite: $2"; else echo "FAILED: $suite: $2${3:+: $3}"; fi; }
cd /tmp
found=$(ls /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu 2>/dev/null | grep -E "^lib(xcb|X11|wayland-client|png16)[.-]" | tr "\n" " ")
say "$([ -z "$found" ] && echo 0 || echo 1)" "no X11, Wayland or PNG library in the chroot" "$found"
python3 -m pip uninstall -y -q vantorel-screenshot >/dev/null 2>&1 || true
log=$(python3 -m pip install -q --no-index --find-links "$DIST" vantorel-screenshot 2>&1)
say $? "pip install --no-index --find-links dist vantorel-screenshot" "$log"
log=$(vantorel-screenshot all "$out/$suite-command.png" 2>&1)
say $? "the command on PATH ($(command -v vantorel-screenshot)) captures the screen" "$log"
log=$(python3 -m vantorel_screenshot region 0 0 400 300 - 2>&1 >"$out/$suite-module.png")
say $? "python3 -m vantorel_screenshot captures the screen" "$log"
log=$(python3 -c "
import sys, vantorel_screenshot as vs
picture = vs.grab()
open(sys.argv[1], \"wb\").write(b\"%d %d\\n\" % picture.size + picture.rgba)
" "$out/$suite-python.rgba" 2>&1)
say $? "Python captures the screen" "$log"
log=$(VANTOREL_SCREENSHOT_BACKEND=wayland vantorel-screenshot all /tmp/vs-none.png 2>&1)
r=1
case "$log" in *"error 107)"*) case "$log" in *"libwayland-client.so.0: cannot open shared object file"*) r=0 ;; esac ;; esac
say $r "a forced Wayland layer names the missing libwayland-client.so.0" "$log"
libs=$(python3 -c "import os, vantorel_screenshot as vs; print(os.path.dirname(os.path.dirname(vs.__file__)) + \"/vantorel_screenshot.libs\")")
composite=$(ls "$libs" | grep "^libxcb-composite-")
mv "$libs/$composite" /tmp/
log=$(python3 -c "import vantorel_screenshot as vs; vs.monitors()" 2>&1)
mv "/tmp/$composite" "$libs/"
case "$log" in *"library not found"*) r=1 ;; *"$composite: cannot open shared object file"*) r=0 ;; *) r=1 ;; esac
say $r "a missing dependency is named ($composite)" "$(printf %s "$log" | tail -n 1)"
python3 -m pip uninstall -y -q vantorel-screenshot >/dev/null 2>&1
say $? "pip uninstall"
'
# Counts lines "ok: WHAT" and "FAILED: WHAT[: WHY]"; shows the rest.
tally() {
  local line
  while IFS= read -r line; do
    case "$line" in
      "ok: "*) stage_pass "${line#ok: }" ;;
      "FAILED: "*) stage_fail "${line#FAILED: }" ;;
      *) [ -z "$line" ] || echo "  $line" ;;
    esac
  done <<<"$1"
}

for suite in "${suites[@]}"; do
  name=$suite-bare
  if ! "$chroot" ensure "$name" "$suite" "${bare_packages[@]}" >/dev/null; then
    stage_fail "$suite: the bare chroot"
    continue
  fi
  results=$("$chroot" run "$name" --env "DISPLAY=$DISPLAY" --env "DIST=$dist" \
    --env PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    --env PIP_BREAK_SYSTEM_PACKAGES=1 --env PIP_DISABLE_PIP_VERSION_CHECK=1 --env PIP_NO_CACHE_DIR=1 \
    --env PIP_ROOT_USER_ACTION=ignore -- sh -c "$inside" sh "$out" "$suite" 2>&1 || true)
  tally "$results"
done

# The wheel's library, built on libwayland 1.18's headers (requests through
# wl_proxy_marshal_constructor), on the sway rig with the host's libwayland:
# the same monitors and the same bytes as the tested build of stage 60.
build=${VS_BUILD_DIR:-$root/build}
if [ -f "$build/libvantorel-screenshot.so.1" ]; then
  unpacked=$out/unpacked
  /usr/bin/python3 -m zipfile -e "$wheel" "$unpacked"
  sway=$("$root/rig/sway-start.sh" --no-xwayland)
  rig_dir=$(
    eval "$sway"
    echo "$RIG_DIR"
  )
  stage_defer "$root/rig/sway-stop.sh" "$rig_dir"
  for library in "$unpacked/vantorel_screenshot/libvantorel-screenshot.so.1" "$build/libvantorel-screenshot.so.1"; do
    (
      eval "$sway"
      VANTOREL_SCREENSHOT_LIBRARY=$library PYTHONPATH=$unpacked /usr/bin/python3 -c '
import hashlib, vantorel_screenshot as vs
print(vs.monitors(), hashlib.sha256(vs.grab_png(1000, 100, 100, 80) + vs.grab().rgba).hexdigest())'
    ) >>"$out/sway.txt" 2>&1 || true
  done
  stage_undefer "$STAGE_DEFERRED"
  if [ "$(wc -l <"$out/sway.txt")" -eq 2 ] && [ "$(sort -u "$out/sway.txt" | wc -l)" -eq 1 ] &&
    grep -q HEADLESS-2 "$out/sway.txt"; then
    stage_pass "on sway, the wheel's library gives the tested build's monitors and bytes"
  else
    stage_fail "on sway, the wheel's library against the tested build" "$(cat "$out/sway.txt")"
  fi
else
  stage_fail "on sway: no tested build in $build"
fi

# Every picture against Xvfb's framebuffer, an XWD image of the screen.
results=$(/usr/bin/python3 - "$root" "$fbdir/Xvfb_screen0" "$out" "${suites[@]}" <<'PY' 2>&1 || true
import os
import struct
import sys

sys.path.insert(0, os.path.join(sys.argv[1], "python", "tests"))
from pngcheck import decode_file  # noqa: E402

fb, out, suites = sys.argv[2], sys.argv[3], sys.argv[4:]
with open(fb, "rb") as f:
    data = f.read()
head = struct.unpack(">25I", data[:100])
header_size, width, height, byte_order, bpp, stride, ncolors = (
    head[0], head[4], head[5], head[7], head[11], head[12], head[19])
assert bpp == 32 and byte_order == 0, (bpp, byte_order)
start = header_size + 12 * ncolors


def rgb_row(row, red, green, blue):
    line = bytearray(len(row) // 4 * 3)
    line[0::3], line[1::3], line[2::3] = row[red::4], row[green::4], row[blue::4]
    return bytes(line)


# The framebuffer's pixels are B, G, R, X bytes; the pictures' R, G, B, A.
screen = [rgb_row(data[start + y * stride : start + y * stride + width * 4], 2, 1, 0)
          for y in range(height)]
if len(set(screen)) < 2:
    print("FAILED: the screen holds no pattern to compare")


def rgb(rows):
    return [rgb_row(r, 0, 1, 2) for r in rows]


for suite in suites:
    for kind in ("command", "module", "python"):
        path = os.path.join(out, f"{suite}-{kind}." + ("rgba" if kind == "python" else "png"))
        what = f"{suite}: the picture from {kind} is the screen"
        if not os.path.exists(path):
            print(f"FAILED: {what}: no picture")
            continue
        if kind == "python":
            with open(path, "rb") as f:
                size, _, pixels = f.read().partition(b"\n")
            w, h = map(int, size.split())
            rows = [pixels[y * w * 4 : (y + 1) * w * 4] for y in range(h)]
        else:
            image = decode_file(path)
            w, h, rows = image.width, image.height, image.rows
        if (w, h) != (width, height):
            print(f"FAILED: {what}: {w}x{h}, the screen is {width}x{height}")
        elif rgb(rows) != screen:
            bad = sum(a != b for a, b in zip(rgb(rows), screen))
            print(f"FAILED: {what}: {bad} rows differ")
        else:
            print(f"ok: {what}")
PY
)
tally "$results"

echo "stage 67 (the wheel) took $(($(date +%s) - start)) s"
stage_end
