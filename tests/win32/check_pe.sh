#!/usr/bin/env bash
# Checks the PE tables of a Windows build: the DLL exports exactly the nine
# plain names plus our extensions and imports only system DLLs, with msvcrt.dll as its C runtime;
# the import library, the .def file and the header agree on the names; the
# test hosts share msvcrt.dll with the DLL.
#
#   tests/win32/check_pe.sh <x86_64|i686> <build directory>
set -euo pipefail
arch=$1
build=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
objdump=$arch-w64-mingw32-objdump
nm=$arch-w64-mingw32-nm
dll=$build/vantorel-screenshot.dll
implib=$build/libvantorel-screenshot.dll.a
failed=0
pass() { echo "ok: $arch: $1"; }
fail() {
  echo "FAILED: $arch: $1"
  failed=1
}

expected=$(printf '%s\n' screenshot_version screenshot_last_error screenshot_list_monitors_json \
  screenshot_capture_all_png screenshot_capture_monitor_png screenshot_capture_region_png \
  screenshot_capture_window_png screenshot_capture_region_mem screenshot_free_mem \
  screenshot_capture_region_rgba screenshot_grab_region screenshot_grab_window \
  screenshot_list_windows_json screenshot_encode screenshot_save screenshot_last_error_detail | sort)

# Names in the export directory ("[Ordinal/Name Pointer] Table").
exports() {
  "$objdump" -p "$1" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort
}
# "DLL Name:" lines of the import directory.
imported_dlls() {
  "$objdump" -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u
}

format=$("$objdump" -f "$dll" | sed -n 's/.*file format //p')
case "$arch" in
  x86_64) want_format=pei-x86-64 ;;
  *) want_format=pei-i386 ;;
esac
[ "$format" = "$want_format" ] && pass "DLL is $format" || fail "DLL is '$format', not $want_format"

got=$(exports "$dll")
if [ "$got" = "$expected" ]; then
  pass "exports exactly the nine plain names and our extensions"
else
  fail "exports differ:"
  diff <(echo "$expected") <(echo "$got") || true
fi

dlls=$(imported_dlls "$dll")
if [ "$dlls" = "$(printf '%s\n' gdi32.dll kernel32.dll msvcrt.dll user32.dll)" ]; then
  pass "imports only GDI32, KERNEL32, msvcrt and USER32"
else
  fail "imports: $(echo $dlls)"
fi

# The DPI functions came with Windows 10; an import of one would keep the DLL
# from loading on anything older, so they are looked up at run time instead.
dpi_imports=$("$objdump" -p "$dll" | sed -n '/^[[:space:]]*DLL Name:/,$p' |
  sed -n '/^There is an export table/q;p' | grep -o '[A-Za-z]*Dpi[A-Za-z]*' | sort -u || true)
[ -z "$dpi_imports" ] && pass "imports no DPI function (looked up at run time)" ||
  fail "imports DPI functions: $(echo $dpi_imports)"

def=$(sed -n '/^EXPORTS/,$p' "$root/src/win32/vantorel-screenshot.def" | sed '1d;s/^[[:space:]]*//;/^$/d;/^;/d' | sort)
[ "$def" = "$expected" ] && pass ".def lists the ten names" || fail ".def lists: $(echo $def)"

header=$(grep -o 'screenshot_[a-z_]*(' "$root/include/vantorel_screenshot.h" | tr -d '(' | sort -u)
[ "$header" = "$expected" ] && pass "header declares the ten names" || fail "header: $(echo $header)"

# Import symbols as a MinGW host's linker sees them: cdecl, so i686 adds only
# the leading underscore of C names and never an @N suffix.
case "$arch" in
  x86_64) prefix=__imp_ ;;
  *) prefix=__imp__ ;;
esac
imps=$("$nm" "$implib" | sed -n "s/^.* I ${prefix}\(screenshot_.*\)$/\1/p" | sort -u)
[ "$imps" = "$expected" ] && pass "import library has the ten cdecl symbols" ||
  fail "import library symbols: $(echo $imps)"

import_test=$build/vs_win32_import_test.exe
loadlibrary_test=$build/vs_win32_loadlibrary_test.exe
if [ -f "$import_test" ]; then
  dlls=$(imported_dlls "$import_test")
  echo "$dlls" | grep -qx msvcrt.dll && echo "$dlls" | grep -qx vantorel-screenshot.dll &&
    pass "import-library host links the DLL and msvcrt.dll" ||
    fail "import-library host imports: $(echo $dlls)"
  dlls=$(imported_dlls "$loadlibrary_test")
  echo "$dlls" | grep -qx msvcrt.dll && ! echo "$dlls" | grep -qx vantorel-screenshot.dll &&
    pass "LoadLibrary host does not link the DLL" ||
    fail "LoadLibrary host imports: $(echo $dlls)"
fi
exit $failed
