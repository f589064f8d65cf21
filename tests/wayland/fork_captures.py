#!/usr/bin/python3
"""Captures from children of fork, the way Python's multiprocessing makes them
on Linux: the parent captures first (so the children inherit its connection
to the compositor), a pool of 3 forked workers captures 15 times each, then
the parent captures again on the connection it kept. On the rig's still
pictures every capture must give the same PNG bytes as the parent's first.

    VANTOREL_SCREENSHOT_LIBRARY=build/libvantorel-screenshot.so.1 \\
      PYTHONPATH=python tests/wayland/fork_captures.py

Prints "fork: N/45 ..." and exits 0 when all 45 and the parent's last
capture are right."""
import multiprocessing
import sys

import vantorel_screenshot as vs

CHILDREN = 3
EACH = 15


def screen():
    monitors = vs.monitors()
    left = min(m["x"] for m in monitors)
    top = min(m["y"] for m in monitors)
    right = max(m["x"] + m["width"] for m in monitors)
    bottom = max(m["y"] + m["height"] for m in monitors)
    return left, top, right - left, bottom - top


def captures(count):
    out = []
    for _ in range(count):
        try:
            out.append(vs.grab_png(*screen()))
        except vs.ScreenshotError as e:
            out.append(str(e))
    return out


def main():
    reference = vs.grab_png(*screen())
    with multiprocessing.get_context("fork").Pool(CHILDREN) as pool:
        results = pool.map(captures, [EACH] * CHILDREN)
    flat = [r for child in results for r in child]
    good = sum(1 for r in flat if r == reference)
    after = captures(1)[0]
    print("fork: %d/%d child captures equal the parent's; the parent's after them: %s"
          % (good, len(flat), "equal" if after == reference else "differs"))
    for r in flat:
        if isinstance(r, str):
            print("  a child's capture failed: " + r)
            break
    return 0 if good == CHILDREN * EACH and after == reference else 1


if __name__ == "__main__":
    sys.exit(main())
