#!/usr/bin/env bash
# Builds the test client kde_paint into the folder given (default
# build/kde): xdg-shell and xdg-output glue from wayland-scanner, then cc.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/../../build/kde}
mkdir -p "$out"
protocols=$(pkg-config --variable=pkgdatadir wayland-protocols)
for xml in stable/xdg-shell/xdg-shell.xml unstable/xdg-output/xdg-output-unstable-v1.xml; do
  base=$(basename "$xml" .xml)
  wayland-scanner client-header "$protocols/$xml" "$out/$base-client-protocol.h"
  wayland-scanner private-code "$protocols/$xml" "$out/$base-protocol.c"
done
cc -std=c11 -O2 -Wall -Wextra -Werror -I"$out" -o "$out/kde_paint" "$here/kde_paint.c" \
  "$out/xdg-shell-protocol.c" "$out/xdg-output-unstable-v1-protocol.c" \
  $(pkg-config --cflags --libs wayland-client)
echo "$out/kde_paint"
