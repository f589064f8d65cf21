#!/usr/bin/env python3
"""demo-check.py OUT: compares the demo's captures in OUT with the windows that
vs-demo-windows drew (OUT/windows.txt), pixel for pixel, and says so."""

import json
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "python", "tests"))

from demo_windows import Window, mismatches  # noqa: E402
from pngcheck import decode_file  # noqa: E402


def main(out: str) -> int:
    with open(os.path.join(out, "windows.txt")) as file:
        windows = []
        for line in file:
            ident, x, y, width, height, name = line.split()
            windows.append(Window(int(ident, 16), int(x), int(y), int(width), int(height), name))
    with open(os.path.join(out, "monitors.json")) as file:
        listing = json.load(file)
    left = min(m["x"] for m in listing)
    top = min(m["y"] for m in listing)

    screen = decode_file(os.path.join(out, "screen.png"))
    failures = 0
    for window in windows:
        for label, image, dx, dy in (
            ("screen.png", screen, window.x - left, window.y - top),
            (f"window-{window.name}.png", decode_file(os.path.join(out, f"window-{window.name}.png")), 0, 0),
        ):
            if image is not screen and (image.width, image.height) != (window.width, window.height):
                wrong = [f"{image.width}x{image.height}, not {window.width}x{window.height}"]
            else:
                wrong = mismatches(image, window, dx, dy)
            verdict = "matches" if not wrong else "DIFFERS: " + "; ".join(wrong)
            print(f"Check: {label}: the '{window.name}' window {verdict}")
            failures += bool(wrong)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
