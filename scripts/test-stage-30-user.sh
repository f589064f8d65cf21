#!/usr/bin/env bash
# The user-facing pieces on a real X server (the rig): the command-line
# program, the Python package and the install tree, all against the Linux
# library built in build/ (or $VS_BUILD_DIR). Ends with "N passed, N failed".
set -euo pipefail
# shellcheck source=scripts/stage-lib.sh
source "$(dirname "$0")/stage-lib.sh"
build=$(cd "${VS_BUILD_DIR:-$root/build}" && pwd)
export VS_BUILD_DIR=$build

library=$(find "$build" -maxdepth 2 -name libvantorel-screenshot.so.1 | head -n 1)
if [ -z "$library" ] || [ ! -x "$build/cli/vantorel-screenshot" ]; then
  stage_abort "the library or the program is built in $build"
fi
export VANTOREL_SCREENSHOT_LIBRARY=$library

counts=$(mktemp)
stage_defer rm -f "$counts"
stage_rig
echo "rig on $DISPLAY; library $library"

# The CLI and Python suites in one run, counted per test (a test with failing
# subtests counts once). A skipped test here means the stage did not test what
# it should, so it counts as failed.
# The runner is a file of its own, not standard input: a test's worker
# process started with "spawn" imports the main module again by its path.
runner=$(mktemp --suffix=.py)
stage_defer rm -f "$runner"
cat >"$runner" <<'PY'
import sys
import unittest


def name(test):
    return getattr(test, "test_case", test).id()


def main():
    suite = unittest.TestSuite(
        unittest.TestLoader().discover(d, pattern="test_*.py", top_level_dir=d) for d in sys.argv[2:]
    )
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    failed = {name(t) for t, _ in result.failures + result.errors}
    failed |= {name(t) for t, _ in result.skipped}
    passed = result.testsRun - len(failed)
    with open(sys.argv[1], "w") as counts:
        counts.write(f"{passed} {len(failed)}\n")


if __name__ == "__main__":
    main()
PY
python3 "$runner" "$counts" "$root/cli/tests" "$root/python/tests" || true
# A run that ended before it counted is one failure.
read -r suite_passed suite_failed <"$counts" || true
stage_count "${suite_passed:-0}" "${suite_failed:-1}" "the CLI and Python tests"

# The install tree and the README's example, now with a display, so they
# capture too.
stage_check "the install tree and the README's example, capturing" \
  ctest --test-dir "$build" -L install --no-tests=error --output-on-failure

# The Windows program under Wine, when the Windows build is there
# (scripts/build-windows.sh): standard output in binary mode, exit codes, the
# DLL found beside the program.
exe=$root/build-win64/vantorel-screenshot.exe
if [ -f "$exe" ] && command -v wine >/dev/null; then
  wine_dir=$(mktemp -d)
  stage_defer rm -rf "$wine_dir"
  check() { stage_check "wine: $1" "${@:2}"; } # check NAME COMMAND...
  # A 64-bit prefix and loader: the program is 64-bit, and 32-bit Wine may not
  # start at all on this kernel.
  wine_run() {
    WINEPREFIX=$wine_dir/prefix WINEARCH=win64 WINEDEBUG=-all \
      timeout 300 /usr/lib/wine/wine64 "$exe" "$@"
  }
  wine_run version >"$wine_dir/version" 2>/dev/null || true
  check "version prints 1.0.0 and a bare newline" cmp -s "$wine_dir/version" <(printf '1.0.0\n')
  wine_run all - >"$wine_dir/all.png" 2>"$wine_dir/all.err" || true
  check "'all -' writes a PNG that decodes" python3 -c \
    'import sys; sys.path.insert(0, sys.argv[1]); import pngcheck; pngcheck.decode_file(sys.argv[2])' \
    "$root/python/tests" "$wine_dir/all.png"
  status=0
  wine_run region 0 0 0 1 - >"$wine_dir/bad" 2>"$wine_dir/bad.err" || status=$?
  check "a failure exits 1 with the library's message" \
    grep -q "^vantorel-screenshot: invalid region size 0x1" "$wine_dir/bad.err"
  [ "$status" -eq 1 ] || stage_fail "wine: a failure exits 1" "exit status $status"
  # The program's own formats and the system's words for an error code.
  wine_run -g "0,0 48x32" -t ppm - >"$wine_dir/region.ppm" 2>/dev/null || true
  check "'-t ppm -' writes a 48x32 PPM" python3 -c \
    'import sys; d = open(sys.argv[1], "rb").read(); sys.exit(d[:13] != b"P6\n48 32\n255\n" or len(d) != 13 + 48 * 32 * 3)' \
    "$wine_dir/region.ppm"
  wine_run window 0x7ffffff - >/dev/null 2>"$wine_dir/window.err" || true
  check "FormatMessageW's reason leads, the library's message and code follow" \
    grep -Eq "^vantorel-screenshot: [[:alpha:]].* \(GetWindowRect failed, error [0-9]+\)" "$wine_dir/window.err"
else
  echo "(no build-win64/vantorel-screenshot.exe: the Windows program is not checked here)"
fi

stage_end
