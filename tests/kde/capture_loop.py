#!/usr/bin/python3
"""One of the racing hosts of the KDE tests: loads the library through the
Python package, says "waiting", waits for one line on standard input (so that
two of them start at the same moment), then captures COUNT times into
OUT_DIR (even turns through the file export of the whole screen, odd turns
through the in-memory export of the monitors' bounding box) and prints one
line of JSON: {"failures": [[turn, message], ...], "seconds": S}.

    capture_loop.py COUNT OUT_DIR
"""
import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kde_support import library  # noqa: E402

vs = library()


def main() -> int:
    count, out_dir = int(sys.argv[1]), sys.argv[2]
    monitors = vs.monitors()
    left = min(m["x"] for m in monitors)
    top = min(m["y"] for m in monitors)
    width = max(m["x"] + m["width"] for m in monitors) - left
    height = max(m["y"] + m["height"] for m in monitors) - top
    print("waiting", flush=True)
    sys.stdin.readline()
    failures = []
    start = time.monotonic()
    for turn in range(count):
        path = os.path.join(out_dir, "%03d.png" % turn)
        try:
            if turn % 2 == 0:
                vs.save_all(path)
            else:
                data = vs.grab_png(left, top, width, height)
                with open(path, "wb") as file:
                    file.write(data)
        except vs.ScreenshotError as error:
            failures.append([turn, error.message])
    print(json.dumps({"failures": failures, "seconds": round(time.monotonic() - start, 3)}), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
