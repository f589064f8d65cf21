#!/usr/bin/python3
"""Pictures of the native window checks (scripts/test-stage-82-windows.sh), with Pillow.

  native_window_check.py id LIST.json TITLE
      Prints the id of the one window the library's list gives that title;
      exit 1 when not exactly one has it.
  native_window_check.py focused LIST.json TITLE
      Exit 0 when the window of that title is the one the list says is
      focused, and it says of every other window that it is not.
  native_window_check.py window OURS.png GRIM.png SEED
      Exit 0 when our capture has grim -T's size and RGB pixels, every one
      opaque, and shows vs-toplevel-client's pattern of SEED.
  native_window_check.py hidden SCREEN.png OURS.png
      Exit 0 when no row of the window (OURS.png) shows anywhere on the
      screen (grim's capture of all of it): the window is covered.
"""

from __future__ import annotations

import json
import sys

from PIL import Image


def pattern(width: int, height: int, seed: int) -> bytes:
    return bytes(
        v
        for y in range(height)
        for x in range(width)
        for v in ((x * 5 + seed * 40) & 255, (y * 3 + seed * 90) & 255, ((x >> 3) + (y >> 3) * 7 + seed * 11) & 255)
    )


def main(argv: list) -> int:
    if argv[1] == "id":
        windows = [w for w in json.load(open(argv[2])) if w["title"] == argv[3]]
        if len(windows) != 1:
            print(f"{len(windows)} windows titled {argv[3]!r}")
            return 1
        print(windows[0]["id"])
        return 0
    if argv[1] == "focused":
        windows = json.load(open(argv[2]))
        focus = [(w["title"], w["focused"]) for w in windows]
        if sorted(focus) != sorted((w["title"], w["title"] == argv[3]) for w in windows):
            print(f"focus as listed: {focus}")
            return 1
        return 0
    if argv[1] == "window":
        ours, grim = Image.open(argv[2]), Image.open(argv[3])
        if ours.size != grim.size:
            print(f"ours {ours.size}, grim -T {grim.size}")
            return 1
        if ours.mode == "RGBA" and ours.getchannel("A").getextrema() != (255, 255):
            print("ours is not opaque")
            return 1
        rgb = ours.convert("RGB").tobytes()
        if rgb != grim.convert("RGB").tobytes():
            print("ours and grim -T differ")
            return 1
        if rgb != pattern(ours.width, ours.height, int(argv[4])):
            print("the window's pattern is not what it drew")
            return 1
        return 0
    if argv[1] == "hidden":
        screen, window = Image.open(argv[2]).convert("RGB"), Image.open(argv[3]).convert("RGB")
        rows = [screen.crop((0, y, screen.width, y + 1)).tobytes() for y in range(screen.height)]
        for y in range(0, window.height, max(1, window.height // 8)):
            piece = window.crop((0, y, min(window.width, 64), y + 1)).tobytes()
            if any(piece in row for row in rows):
                print(f"row {y} of the window shows on the screen")
                return 1
        return 0
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
