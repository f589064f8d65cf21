#!/usr/bin/env bash
# The shipped shared object: its SONAME, and exactly the nine exports plus our
# extensions in its dynamic symbol table (no layer function, no stb, no C++ runtime symbol).
set -euo pipefail
lib=$1

soname=$(objdump -p "$lib" | awk '$1 == "SONAME" { print $2 }')
if [ "$soname" != "libvantorel-screenshot.so.1" ]; then
  echo "SONAME is '$soname', expected libvantorel-screenshot.so.1" >&2
  exit 1
fi

expected="screenshot_capture_all_png
screenshot_capture_monitor_png
screenshot_capture_region_mem
screenshot_capture_region_png
screenshot_capture_region_rgba
screenshot_capture_window_png
screenshot_encode
screenshot_free_mem
screenshot_grab_region
screenshot_grab_window
screenshot_last_error
screenshot_last_error_detail
screenshot_list_monitors_json
screenshot_list_windows_json
screenshot_save
screenshot_version"
actual=$(nm -D --defined-only "$lib" | awk '{ print $NF }' | sort)
if [ "$actual" != "$expected" ]; then
  echo "exports differ from the nine and our extensions:" >&2
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  exit 1
fi
if nm -D "$lib" | grep -qi stb; then
  echo "an stb symbol is in the dynamic table" >&2
  exit 1
fi
echo "nine exports and our extensions, SONAME $soname"
