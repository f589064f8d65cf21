#!/usr/bin/env bash
# Builds the test clients kde_paint (Wayland, with xdg-shell and xdg-output
# glue from wayland-scanner) and x11_paint (XCB) into the folder given
# (default build/kde); prints the path of kde_paint.
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
cc -std=c11 -O2 -Wall -Wextra -Werror -o "$out/x11_paint" "$here/x11_paint.c" $(pkg-config --cflags --libs xcb)
echo "$out/kde_paint"
