#!/usr/bin/env bash
# readme_example.sh README BUILD_DIR WORK_DIR: the README's C example, taken
# from the README itself (its first ```c block and the pkg-config command
# after it), built exactly as the README says against an install of the build
# and run. With a display it must write a PNG; without one it must fail with
# the library's message, as its error branch says.
set -euo pipefail
readme=$1
build=$2
work=$3
prefix=$work/prefix

fail() {
  echo "readme_example: $*" >&2
  exit 1
}

rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$prefix" >"$work/install.log"
pcdir=$(dirname "$(find "$prefix" -name vantorel-screenshot.pc -path "*/pkgconfig/*")")
export PKG_CONFIG_PATH=$pcdir

# The first C block, and the first command after it that builds with pkg-config.
awk '/^```c$/ { inside = 1; next } inside && /^```$/ { exit } inside { print }' "$readme" >"$work/shot.c"
[ -s "$work/shot.c" ] || fail "README.md has no \`\`\`c block"
grep -q '#include <vantorel_screenshot.h>' "$work/shot.c" || fail "the example does not include <vantorel_screenshot.h>"
command=$(awk '/^```c$/ { seen = 1 } seen && /pkg-config --cflags --libs vantorel-screenshot/ { print; exit }' "$readme")
[ -n "$command" ] || fail "no pkg-config command follows the example"
echo "README: $command"

cd "$work"
bash -c "set -e; $command" || fail "the README's command does not build the example"
[ -x ./shot ] || fail "the README's command made no ./shot"
# Clean under the warnings the project builds with, too.
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -pedantic shot.c $(pkg-config --cflags --libs vantorel-screenshot) \
  -o shot-strict || fail "the example is not warning-free"

status=0
LD_LIBRARY_PATH=${pcdir%/pkgconfig} ./shot >out.txt 2>err.txt || status=$?
if [ "$status" -eq 0 ]; then
  [ "$(head -c 8 screen.png | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] ||
    fail "exit 0 but screen.png is no PNG"
  echo "readme_example: built with the README's command; captured screen.png"
else
  [ -z "${DISPLAY:-}" ] || fail "with DISPLAY=$DISPLAY the example failed: $(cat err.txt)"
  [ "$status" -eq 1 ] && grep -Eq '^capture failed: .+' err.txt ||
    fail "without a display the example should exit 1 with the message, got $status: $(cat err.txt)"
  [ ! -e screen.png ] || fail "a failed capture left screen.png"
  echo "readme_example: built with the README's command; without a display: $(cat err.txt)"
fi
