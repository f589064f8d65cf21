#!/usr/bin/env python3
"""The pointer stage's cursor of its own and its checks (scripts/test-stage-83-cursor.sh).

  pointer_check.py xbm DIR                write DIR/cursor.xbm and DIR/mask.xbm
                                          (for xsetroot -cursor)
  pointer_check.py warp X Y               move the X pointer to (X, Y) of the root
  pointer_check.py shape PNG X Y PX PY BG [--none]
                                          PNG, a capture of the region at (X, Y),
                                          shows the solid background BG (RRGGBB)
                                          with the cursor's shape, its hotspot on
                                          the pointer at (PX, PY); with --none,
                                          the background alone
  pointer_check.py same PNG PNG           the two pictures have the same pixels
  pointer_check.py pointer PNG SHOWN PX PY
                                          PNG is the picture SHOWN with a pointer
                                          drawn over it at (PX, PY): it differs
                                          from SHOWN there and nowhere else (a
                                          compositor's cursor image of its own
                                          theme, so only where, not what)
  pointer_check.py python PNG X Y W H     Python's grab((X, Y, W, H), cursor=True)
                                          has the pixels of PNG

Exit status 0 when the check holds, 1 with the first differences when not.
"""
import ctypes
import os
import sys

from PIL import Image

# 'X' foreground (magenta), 'o' background (green), '.' see-through; the
# hotspot off the corner, so a cursor drawn at the pointer rather than at its
# hotspot shows.
SHAPE = [
    "X...........",
    "XX..........",
    "XoX.........",
    "XooX........",
    "XoooX.......",
    "XooooX......",
    "XoooooX.....",
    "XooooooX....",
    "XoooooooX...",
    "XooooooooX..",
    "XoooooXXXXX.",
    "XooXooX.....",
    "XoX.XooX....",
    "XX..XooX....",
    "X....XooX...",
    ".....XXXX...",
]
HOT_X, HOT_Y = 3, 5
FORE, BACK = (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0x00)


def xbm(path, name, bit):
    width, height = len(SHAPE[0]), len(SHAPE)
    data = []
    for row in SHAPE:
        for start in range(0, width, 8):
            byte = 0
            for i, c in enumerate(row[start:start + 8]):
                if bit(c):
                    byte |= 1 << i
            data.append(byte)
    with open(path, "w", encoding="ascii") as f:
        f.write(f"#define {name}_width {width}\n#define {name}_height {height}\n")
        f.write(f"#define {name}_x_hot {HOT_X}\n#define {name}_y_hot {HOT_Y}\n")
        f.write(f"static unsigned char {name}_bits[] = {{\n")
        f.write(", ".join(f"0x{b:02x}" for b in data) + "};\n")


def warp(x, y):
    class Iterator(ctypes.Structure):
        _fields_ = [("data", ctypes.c_void_p), ("rem", ctypes.c_int), ("index", ctypes.c_int)]

    class Cookie(ctypes.Structure):
        _fields_ = [("sequence", ctypes.c_uint)]

    xcb = ctypes.CDLL("libxcb.so.1")
    libc = ctypes.CDLL(None)
    xcb.xcb_connect.restype = ctypes.c_void_p
    xcb.xcb_connect.argtypes = [ctypes.c_char_p, ctypes.c_void_p]
    xcb.xcb_connection_has_error.argtypes = [ctypes.c_void_p]
    xcb.xcb_get_setup.restype = ctypes.c_void_p
    xcb.xcb_get_setup.argtypes = [ctypes.c_void_p]
    xcb.xcb_setup_roots_iterator.restype = Iterator
    xcb.xcb_setup_roots_iterator.argtypes = [ctypes.c_void_p]
    xcb.xcb_warp_pointer.restype = Cookie
    xcb.xcb_warp_pointer.argtypes = [ctypes.c_void_p, ctypes.c_uint32, ctypes.c_uint32] + [
        ctypes.c_int16, ctypes.c_int16, ctypes.c_uint16, ctypes.c_uint16, ctypes.c_int16, ctypes.c_int16]
    xcb.xcb_get_input_focus.restype = Cookie
    xcb.xcb_get_input_focus.argtypes = [ctypes.c_void_p]
    xcb.xcb_get_input_focus_reply.restype = ctypes.c_void_p
    xcb.xcb_get_input_focus_reply.argtypes = [ctypes.c_void_p, Cookie, ctypes.c_void_p]
    xcb.xcb_disconnect.argtypes = [ctypes.c_void_p]
    libc.free.argtypes = [ctypes.c_void_p]
    conn = xcb.xcb_connect(None, None)
    if xcb.xcb_connection_has_error(conn):
        sys.exit("warp: no X server")
    # The root window is the first member of the screen's record.
    root = ctypes.c_uint32.from_address(xcb.xcb_setup_roots_iterator(xcb.xcb_get_setup(conn)).data).value
    xcb.xcb_warp_pointer(conn, 0, root, 0, 0, 0, 0, x, y)
    # A round trip: the server has moved the pointer when this returns.
    libc.free(xcb.xcb_get_input_focus_reply(conn, xcb.xcb_get_input_focus(conn), None))
    xcb.xcb_disconnect(conn)


def differences(got, want, limit=5):
    """The first few pixels where two RGBA pictures of one size differ."""
    out = []
    width, height = got.size
    a, b = got.load(), want.load()
    for y in range(height):
        for x in range(width):
            if a[x, y] != b[x, y]:
                out.append(f"({x},{y}): {a[x, y]} where {b[x, y]} was expected")
                if len(out) == limit:
                    return out
    return out


def report(got, want, what):
    if got.size != want.size:
        print(f"{what}: {got.size[0]}x{got.size[1]}, expected {want.size[0]}x{want.size[1]}")
        return 1
    diff = differences(got, want)
    if diff:
        print(f"{what}: pixels differ")
        print("\n".join("  " + d for d in diff))
        return 1
    return 0


def shape(path, x, y, px, py, background, none):
    got = Image.open(path).convert("RGBA")
    bg = tuple(bytes.fromhex(background)) + (255,)
    want = Image.new("RGBA", got.size, bg)
    if not none:
        pixels = want.load()
        for row, line in enumerate(SHAPE):
            for column, c in enumerate(line):
                sx, sy = px - HOT_X + column - x, py - HOT_Y + row - y
                if c != "." and 0 <= sx < got.size[0] and 0 <= sy < got.size[1]:
                    pixels[sx, sy] = (FORE if c == "X" else BACK) + (255,)
    return report(got, want, path)


# How far a compositor's cursor image may reach from the pointer: themes
# draw up to 48 pixels at size 24 and scale 2, the hotspot inside.
REACH = 48


def pointer(path, shown, px, py):
    got, want = Image.open(path).convert("RGBA"), Image.open(shown).convert("RGBA")
    if got.size != want.size:
        return report(got, want, path)
    a, b = got.load(), want.load()
    width, height = got.size
    near = range(max(px - REACH, 0), min(px + REACH, width)), range(max(py - REACH, 0), min(py + REACH, height))
    if all(a[x, y] == b[x, y] for y in near[1] for x in near[0]):
        print(f"{path}: no pointer near ({px},{py})")
        return 1
    for y in near[1]:
        for x in near[0]:
            a[x, y] = b[x, y]
    return report(got, want, f"{path} away from the pointer")


def python_grab(path, x, y, width, height):
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))
    import vantorel_screenshot as vs  # noqa: E402 (the checkout's package)

    shot = vs.grab((x, y, width, height), cursor=True)
    got = Image.frombytes("RGBA", shot.size, shot.rgba)
    return report(got, Image.open(path).convert("RGBA"), "grab(cursor=True)")


def main(argv):
    what = argv[1] if len(argv) > 1 else ""
    if what == "xbm":
        xbm(os.path.join(argv[2], "cursor.xbm"), "cursor", lambda c: c == "X")
        xbm(os.path.join(argv[2], "mask.xbm"), "mask", lambda c: c != ".")
        return 0
    if what == "warp":
        warp(int(argv[2]), int(argv[3]))
        return 0
    if what == "shape":
        return shape(argv[2], *map(int, argv[3:7]), argv[7], "--none" in argv[8:])
    if what == "same":
        return report(Image.open(argv[2]).convert("RGBA"), Image.open(argv[3]).convert("RGBA"), argv[2])
    if what == "pointer":
        return pointer(argv[2], argv[3], int(argv[4]), int(argv[5]))
    if what == "python":
        return python_grab(argv[2], *map(int, argv[3:7]))
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
