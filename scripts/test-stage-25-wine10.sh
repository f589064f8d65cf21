#!/usr/bin/env bash
# Stage 25: the Windows DLL under Wine 10 (Debian 13's, in a cached trixie
# chroot), which scales coordinates for hosts that are not DPI aware as
# Windows does; the host's Wine 8 does not. At LogPixels 96, 144 and 192:
#
#   - on the rig's two-monitor desktop and on one 1920x1080 monitor, an aware
#     painter covers the screen with a pattern; a per-monitor-aware 64-bit
#     host checks the JSON, the whole screen, each monitor, regions at the
#     bottom-right corner and windows against it, and an unaware 64-bit host
#     and both kinds of 32-bit host must get the same, pixel for pixel;
#   - the unaware 64-bit host on the 1920x1080 monitor at 144 and 192 dpi
#     prints its figures as "bar:" lines of their own;
#   - at 96 dpi the Windows suites of stage 20 pass, for both architectures,
#     and the 64-bit DLL and program take file names beyond ASCII in the code
#     pages 1252 and 932 (tests/win32/names.sh).
#
# Every job has its own rigs and its own copy of a cached 64-bit prefix (which
# runs the 32-bit programs too), so they all run at once. The prefix is booted
# once per Wine version and kept in the chroot; a copy links the directories
# of DLLs, which Wine only reads, and copies the rest (Wine rewrites its
# registry files in place). Ends with "N passed, N failed".
set -euo pipefail
# shellcheck source=scripts/stage-lib.sh
source "$(dirname "$0")/stage-lib.sh"
cd "$root"
start=$(date +%s)
source tests/win32/names.sh

scripts/build-windows.sh >/dev/null
echo "built build-win64 and build-win32"

if ! i386_way=$(scripts/i386-runner.sh); then
  stage_fail "i686" "$i386_way"
  echo "stage 25: FAILED"
  stage_end || exit 1
fi
echo "i686: 32-bit programs run $i386_way"

t0=$(date +%s)
# Wine loads the X extensions' libraries at run time and only recommends
# them: without libXrandr and libXinerama it sees one monitor the size of the
# root window, so they are named here.
wine_packages=(wine wine64 wine32:i386 locales)
for lib in libxrandr2 libxrender1 libxinerama1 libxcomposite1 libxfixes3 libxi6 libxcursor1; do
  wine_packages+=("$lib" "$lib:i386")
done
rig/chroot.sh ensure trixie trixie --i386 "${wine_packages[@]}" >/dev/null
wine_version=$(rig/chroot.sh run trixie -- /usr/lib/wine/wine64 --version)
# Wine takes the ANSI code page from the locale: 1252 from en_US, 932 from ja_JP.
rig/chroot.sh run trixie -- sh -c 'for l in en_US ja_JP; do
  locale -a | grep -qx "$l.utf8" || localedef -i "$l" -f UTF-8 "$l.UTF-8"; done' >/dev/null
echo "trixie chroot with $wine_version ready in $(($(date +%s) - t0)) s"

# The booted prefixes live inside the chroot, where Wine sees them, and on
# the same file system as /tmp, where the jobs' copies link to them.
chroot_dir=$(rig/chroot.sh path trixie)
templates_in=/var/cache/vs-wine-prefix
work=$(mktemp -d /tmp/vs-wine10.XXXXXX)
chmod 755 "$work"
# The jobs run in subshells, so what they start is listed in files.
: >"$work/prefixes"
: >"$work/rigs"
cleanup() {
  local arch p r
  while read -r arch p; do
    in_wine "$arch" "$p" "" /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  done <"$work/prefixes"
  while read -r r; do RIG_DIR=$r rig/stop.sh >/dev/null 2>&1 || true; done <"$work/rigs"
  rm -rf "$work"
}
stage_defer cleanup

# in_wine WINEARCH PREFIX DISPLAY COMMAND...: inside the chroot, for at most
# $wine_timeout seconds; COMMAND names the loader itself.
wine_timeout=600
in_wine() {
  local arch=$1 prefix=$2 display=$3
  shift 3
  timeout "$wine_timeout" rig/chroot.sh run trixie --env DISPLAY="$display" \
    --env WINEPREFIX="$prefix" --env WINEARCH="$arch" --env WINEDEBUG=-all \
    --env WINEDLLOVERRIDES="mscoree,mshtml=" -- "$@"
}

winpath() { printf 'Z:%s' "${1//\//\\}"; }

# The prefix, booted without a display once per Wine version.
t0=$(date +%s)
boot_template() {
  local arch=$1 loader=$2 template_in=$templates_in-$1
  local template=$chroot_dir$template_in
  (
    flock 9
    if [ "$(cat "$template/.vs-wine" 2>/dev/null)" != "$wine_version" ]; then
      rm -rf "$template" "$template.part"
      in_wine "$arch" "$template_in.part" "" "$loader" wineboot -i >/dev/null 2>&1
      in_wine "$arch" "$template_in.part" "" /usr/lib/wine/wineserver -w
      echo "$wine_version" >"$template.part/.vs-wine"
      mv "$template.part" "$template"
    fi
  ) 9>"$template.lock"
}
boot_template win64 /usr/lib/wine/wine64 || stage_abort "wineboot"
echo "Wine 10 prefix ready in $(($(date +%s) - t0)) s"

# set_log_pixels PREFIX DPI: HKCU\Control Panel\Desktop\LogPixels, written
# while no wineserver has the prefix open.
set_log_pixels() {
  local reg=$1/user.reg value
  value=$(printf '"LogPixels"=dword:%08x' "$2")
  awk -v v="$value" '
    /^\[/ { if (in_sec && !done) { print v; done = 1 }
            in_sec = ($0 ~ /^\[Control Panel\\\\Desktop\] /) }
    in_sec && /^"LogPixels"=/ { next }
    { print }
    END { if (!done) { if (!in_sec) print "\n[Control Panel\\\\Desktop]"; print v } }' \
    "$reg" >"$reg.new"
  mv "$reg.new" "$reg"
}

# new_prefix NAME WINEARCH DPI: a copy of the booted prefix at that DPI.
new_prefix() {
  local prefix=$work/prefix-$1 template=$chroot_dir$templates_in-$2 dir
  local dlls=(drive_c/windows/system32 drive_c/windows/syswow64 drive_c/windows/winsxs)
  mkdir "$prefix"
  tar -C "$template" "${dlls[@]/#/--exclude=./}" -cf - . | tar -C "$prefix" -xf -
  for dir in "${dlls[@]}"; do
    if [ -d "$template/$dir" ]; then cp -al "$template/$dir" "$prefix/$dir"; fi
  done
  echo "$2 $prefix" >>"$work/prefixes"
  set_log_pixels "$prefix" "$3"
  echo "$prefix"
}

win64=$root/build-win64
win32=$root/build-win32
test64=$win64/vs_win32_dpi_test.exe
test32=$win32/vs_win32_dpi_test.exe

# One desktop at one DPI: the painter, the aware 64-bit host as the
# reference, then the other three hosts at once (their own windows stay
# hidden, so they share the screen).
run_desktop() {
  local prefix=$1 display=$2 dpi=$3 layout=$4 dir=$5
  mkdir -p "$dir"/{x86_64-aware,x86_64-unaware,i686-aware,i686-unaware}
  in_wine win64 "$prefix" "$display" /usr/lib/wine/wine64 "$test64" paint "$(winpath "$dir/ready")" \
    "$(winpath "$dir/stop")" >"$dir/painter.log" 2>&1 &
  local painter=$!
  for _ in $(seq 1 600); do
    [ -s "$dir/ready" ] && break
    kill -0 "$painter" 2>/dev/null || break
    sleep 0.2
  done
  if [ ! -s "$dir/ready" ]; then
    echo "FAILED: $dpi dpi, $layout: the painter did not cover the screen"
    cat "$dir/painter.log"
    touch "$dir/stop"
    wait "$painter" || true
    return 1
  fi
  local target result=0 bar=()
  target=$(tr -d '\r\n' <"$dir/ready")
  host() { # NAME LOADER EXE AWARENESS [ARG...]
    local name=$1 loader=$2 exe=$3 awareness=$4
    shift 4
    wine_timeout=300 in_wine win64 "$prefix" "$display" "$loader" "$exe" check "$awareness" "$target" \
      "$(winpath "$dir/$name")" "$@" >"$dir/$name.log" 2>&1
  }
  host x86_64-aware /usr/lib/wine/wine64 "$test64" aware || result=1
  if [ "$layout" = 1920x1080 ] && [ "$dpi" != 96 ]; then bar=(--bar 1920x1080); fi
  local ref
  ref=$(winpath "$dir/x86_64-aware")
  host x86_64-unaware /usr/lib/wine/wine64 "$test64" unaware "$ref" "${bar[@]}" &
  local p1=$!
  host i686-aware /usr/lib/wine/wine "$test32" aware "$ref" &
  local p2=$!
  host i686-unaware /usr/lib/wine/wine "$test32" unaware "$ref" &
  local p3=$!
  wait $p1 || result=1
  wait $p2 || result=1
  wait $p3 || result=1
  touch "$dir/stop"
  wait "$painter" || true
  for name in x86_64-aware x86_64-unaware i686-aware i686-unaware; do
    echo "== $dpi dpi, $layout, $name host"
    grep -v '^bar:' "$dir/$name.log" || true
  done
  return $result
}

# One DPI: the two-monitor desktop, then the single 1920x1080 monitor.
run_dpi() {
  local dpi=$1 prefix result=0 layout rig_args desktop
  prefix=$(new_prefix "dpi-$dpi" win64 "$dpi")
  for layout in two-monitor 1920x1080; do
    rig_args=()
    [ "$layout" = 1920x1080 ] && rig_args=(--mode 1920x1080)
    mapfile -t desktop < <(stage_rig_lines "${rig_args[@]}")
    if [ -z "${desktop[1]:-}" ]; then
      echo "FAILED: $dpi dpi: the $layout rig did not start"
      return 1
    fi
    echo "${desktop[0]}" >>"$work/rigs"
    run_desktop "$prefix" "${desktop[1]}" "$dpi" "$layout" "$work/$dpi-$layout" || result=1
    # The prefix's Wine session follows one display; end it before the next.
    wine_timeout=60 in_wine win64 "$prefix" "" /usr/lib/wine/wineserver -w ||
      in_wine win64 "$prefix" "" /usr/lib/wine/wineserver -k || true
    RIG_DIR=${desktop[0]} rig/stop.sh >/dev/null 2>&1 || true
  done
  return $result
}

# Stage 20's suites at 96 dpi: both hosts on the two-monitor desktop, the
# leak loops on a small one.
run_suites() {
  local arch=$1 build loader winearch=win64 prefix result=0 desktop small program
  case "$arch" in
    x86_64) build=$win64 loader=/usr/lib/wine/wine64 ;;
    *) build=$win32 loader=/usr/lib/wine/wine ;;
  esac
  prefix=$(new_prefix "suites-$arch" "$winearch" 96)
  mapfile -t desktop < <(stage_rig_lines)
  mapfile -t small < <(stage_rig_lines --mode 320x240)
  echo "${desktop[0]:-}" >>"$work/rigs"
  echo "${small[0]:-}" >>"$work/rigs"
  if [ -z "${desktop[1]:-}" ] || [ -z "${small[1]:-}" ]; then
    echo "FAILED: $arch: the rigs did not start"
    return 1
  fi
  for program in vs_win32_import_test vs_win32_loadlibrary_test; do
    echo "== $arch: $program"
    in_wine "$winearch" "$prefix" "${desktop[1]}" "$loader" "$build/$program.exe" || result=1
  done
  wine_timeout=60 in_wine "$winearch" "$prefix" "" /usr/lib/wine/wineserver -w ||
    in_wine "$winearch" "$prefix" "" /usr/lib/wine/wineserver -k || true
  echo "== $arch: vs_win32_import_test leaks"
  in_wine "$winearch" "$prefix" "${small[1]}" "$loader" "$build/vs_win32_import_test.exe" leaks ||
    result=1
  if [ "$arch" = x86_64 ]; then
    names_wine() { # LANG EXE ARG...
      local lang=$1
      shift
      timeout 300 rig/chroot.sh run trixie --env DISPLAY="${small[1]}" --env WINEPREFIX="$prefix" \
        --env WINEARCH="$winearch" --env WINEDEBUG=-all --env WINEDLLOVERRIDES="mscoree,mshtml=" \
        --env LANG="$lang" --env LC_ALL="$lang" -- "$loader" "$@"
    }
    check_names "$arch" "$build" "$work/names" || result=1
  fi
  return $result
}

declare -A pids
for job in 96 144 192 suites-x86_64 suites-i686; do
  case "$job" in
    suites-*) run_suites "${job#suites-}" >"$work/$job.log" 2>&1 & ;;
    *) run_dpi "$job" >"$work/$job.log" 2>&1 & ;;
  esac
  pids[$job]=$!
done
for job in 96 144 192 suites-x86_64 suites-i686; do
  result=0
  wait "${pids[$job]}" || result=1
  case "$job" in
    suites-*) what="stage 20's suites at 96 dpi, ${job#suites-}" ;;
    *) what="LogPixels $job" ;;
  esac
  echo "=== Wine 10, $what"
  cat "$work/$job.log"
  if [ $result = 0 ]; then stage_pass "Wine 10, $what"; else stage_fail "Wine 10, $what"; fi
done
# The bar, on lines of its own: an unaware 64-bit host at 144 and 192 dpi on a
# 1920x1080 screen. Seven figures each, all of them ok.
echo "=== Unaware 64-bit host, Wine 10, one 1920x1080 monitor"
for dpi in 144 192; do
  log=$work/$dpi-1920x1080/x86_64-unaware.log
  lines=$(grep '^bar:' "$log" 2>/dev/null || true)
  [ -z "$lines" ] || echo "${lines//bar: /$dpi dpi: }"
  if [ "$(grep -c '^bar: ok:' <<<"$lines")" -ne 7 ] || grep -q '^bar: FAILED' <<<"$lines"; then
    stage_fail "$dpi dpi: the unaware 64-bit host's figures are not all there and right"
  else
    stage_pass "$dpi dpi: the unaware 64-bit host's seven figures"
  fi
done

echo "stage 25 (Windows DLL under $wine_version) took $(($(date +%s) - start)) s"
if [ "$failed" -ne 0 ]; then echo "stage 25: FAILED"; else echo "stage 25: passed"; fi
stage_end
