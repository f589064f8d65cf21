#!/usr/bin/env bash
# run.sh BUILD_DIR WORK_DIR C_COMPILER: the install-tree test (see CMakeLists.txt).
set -euo pipefail
build=$1
work=$2
cc=$3
here=$(cd "$(dirname "$0")" && pwd)
prefix=$work/prefix

rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$prefix" >"$work/install.log"

fail() {
  echo "install_tree: $*" >&2
  exit 1
}

libdir=$(dirname "$(find "$prefix" -name vantorel-screenshot.pc -path '*/pkgconfig/*')")
libdir=${libdir%/pkgconfig}
[ -f "$prefix/include/vantorel_screenshot.h" ] || fail "header not installed"
[ -x "$prefix/bin/vantorel-screenshot" ] || fail "command-line program not installed"
# The manual page, where man looks for it under the prefix.
page=$(MANPATH=$prefix/share/man man -w vantorel-screenshot 2>/dev/null) || fail "man finds no page"
case "$page" in "$prefix"/share/man/man1/vantorel-screenshot.1*) ;; *) fail "man finds '$page'" ;; esac
LC_ALL=C MANPATH=$prefix/share/man man vantorel-screenshot 2>&1 | grep -q -- "--geometry" \
  || fail "the manual page does not read"
[ -L "$libdir/libvantorel-screenshot.so" ] || fail "no development link libvantorel-screenshot.so"
[ -L "$libdir/libvantorel-screenshot.so.1" ] || fail "no SONAME link libvantorel-screenshot.so.1"
real=$(readlink -f "$libdir/libvantorel-screenshot.so")
[ -f "$real" ] || fail "libvantorel-screenshot.so points nowhere"
soname=$(objdump -p "$real" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = libvantorel-screenshot.so.1 ] || fail "SONAME is '$soname'"

capture=()
if [ -n "${DISPLAY:-}" ]; then capture=(--capture); fi

# The installed program finds its library through its own RUNPATH.
[ "$(env -u LD_LIBRARY_PATH "$prefix/bin/vantorel-screenshot" version)" = 1.0.0 ] \
  || fail "installed program does not print 1.0.0"

# find_package
cmake -S "$here/consumer" -B "$work/cmake-consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" >"$work/cmake-consumer.log" 2>&1 \
  || { cat "$work/cmake-consumer.log"; fail "find_package consumer does not configure"; }
cmake --build "$work/cmake-consumer" >>"$work/cmake-consumer.log" 2>&1 \
  || { cat "$work/cmake-consumer.log"; fail "find_package consumer does not build"; }
"$work/cmake-consumer/consumer" "${capture[@]}" || fail "find_package consumer failed"

# pkg-config
export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion vantorel-screenshot)" = 1.0.0 ] || fail "pkg-config version"
# shellcheck disable=SC2046
"$cc" -Wall -Wextra -Werror "$here/consumer/consumer.c" -o "$work/pc-consumer" \
  $(pkg-config --cflags --libs vantorel-screenshot) \
  -Wl,-rpath,"$(pkg-config --variable=libdir vantorel-screenshot)" \
  || fail "pkg-config consumer does not build"
"$work/pc-consumer" "${capture[@]}" || fail "pkg-config consumer failed"

echo "install_tree: find_package and pkg-config consumers built and ran against $prefix"
