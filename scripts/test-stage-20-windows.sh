#!/usr/bin/env bash
# Stage 20: the Windows DLL. Cross-builds vantorel-screenshot.dll for 64- and
# 32-bit Windows, checks its export and import tables, then runs the Windows
# test programs under Wine (64-bit prefix, and a win32 prefix for the 32-bit
# build) on the rig's Xorg with its two monitors, and the file names beyond
# ASCII in the code pages 1252 and 932 (tests/win32/names.sh). Ends with
# "N passed, N failed" and fails on any failure.
#
# Each architecture gets its own rigs, so both run at once: the tests paint
# the whole virtual screen and must be alone on it.
set -euo pipefail
# shellcheck source=scripts/stage-lib.sh
source "$(dirname "$0")/stage-lib.sh"
cd "$root"
start=$(date +%s)
source tests/win32/names.sh

scripts/build-windows.sh

# The 32-bit checks run natively or through qemu-user; never skipped.
if ! i386_way=$(scripts/i386-runner.sh); then
  stage_fail "i686" "$i386_way"
  echo "stage 20: FAILED"
  stage_end || exit 1
fi
echo "i686: 32-bit programs run $i386_way"

stage_check "x86_64: export and import tables" tests/win32/check_pe.sh x86_64 build-win64
stage_check "i686: export and import tables" tests/win32/check_pe.sh i686 build-win32

work=$(mktemp -d /tmp/vs-wine.XXXXXX)
stage_defer rm -rf "$work"
stop_rig() { RIG_DIR=$1 rig/stop.sh >/dev/null 2>&1 || true; }
stop_wine() { WINEPREFIX=$1 /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true; }

# One architecture: both hosts' tests on the two-monitor desktop, then the
# import-library host's 1,000-capture leak loops on a 320x240 desktop. GDI
# objects do not depend on a capture's size, while PNG encoding time does:
# 2,000 captures of the full 2304x800 desktop alone took minutes.
run_wine() {
  local arch=$1 build=$2 loader=$3 winearch=$4 desktop=$5 small=$6
  export WINEPREFIX=$work/prefix-$arch WINEARCH=$winearch
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  local t0 t1 result=0
  t0=$(date +%s)
  DISPLAY=$desktop "$loader" wineboot -i >/dev/null 2>&1 || {
    echo "FAILED: $arch: wineboot"
    return 1
  }
  t1=$(date +%s)
  echo "$arch: Wine prefix made in $((t1 - t0)) s"
  for program in vs_win32_import_test vs_win32_loadlibrary_test; do
    echo "== $arch: $program"
    (cd "$build" && DISPLAY=$desktop timeout 600 "$loader" "$program.exe") || result=1
  done
  # The prefix's Wine session follows one display; let it end before the next.
  timeout 60 /usr/lib/wine/wineserver -w || /usr/lib/wine/wineserver -k || true
  echo "== $arch: vs_win32_import_test leaks"
  (cd "$build" && DISPLAY=$small timeout 600 "$loader" vs_win32_import_test.exe leaks) || result=1
  echo "$arch: test programs ran in $(($(date +%s) - t1)) s"
  t1=$(date +%s)
  names_wine() { # LANG EXE ARG...
    local lang=$1
    shift
    (cd "$build" && DISPLAY=$small LANG=$lang LC_ALL=$lang timeout 300 "$loader" "$@")
  }
  check_names "$arch" "$root/$build" "$work/names" || result=1
  echo "$arch: file names checked in $(($(date +%s) - t1)) s"
  return $result
}

declare -A pids
for arch in x86_64 i686; do
  mapfile -t desktop < <(stage_rig_lines)
  [ -z "${desktop[0]:-}" ] || stage_defer stop_rig "${desktop[0]}"
  [ -n "${desktop[1]:-}" ] || stage_abort "$arch: the rig did not start"
  mapfile -t small < <(stage_rig_lines --mode 320x240)
  [ -z "${small[0]:-}" ] || stage_defer stop_rig "${small[0]}"
  [ -n "${small[1]:-}" ] || stage_abort "$arch: the small rig did not start"
  stage_defer stop_wine "$work/prefix-$arch"
  case "$arch" in
    x86_64) run_wine x86_64 build-win64 /usr/lib/wine/wine64 win64 "${desktop[1]}" "${small[1]}" \
      >"$work/$arch.log" 2>&1 & ;;
    *) run_wine i686 build-win32 /usr/lib/wine/wine win32 "${desktop[1]}" "${small[1]}" \
      >"$work/$arch.log" 2>&1 & ;;
  esac
  pids[$arch]=$!
done
for arch in x86_64 i686; do
  result=0
  wait "${pids[$arch]}" || result=1
  echo "=== Wine, $arch"
  cat "$work/$arch.log"
  if [ $result = 0 ]; then stage_pass "$arch: the Windows suites under Wine"; else
    stage_fail "$arch: the Windows suites under Wine"
  fi
done

echo "stage 20 (Windows DLL) took $(($(date +%s) - start)) s"
if [ "$failed" -ne 0 ]; then echo "stage 20: FAILED"; else echo "stage 20: passed"; fi
stage_end
