"""Forked children never use their parent's X11 connection.

Python's multiprocessing forks by default on Linux. The parent captures once
(so it holds a connection and, from its second read-back on, a shared-memory
segment), then three forked children capture 15 times each while the parent
captures 15 times more. Every capture must work and show the screen's real
bounds: a child that shared its parent's connection read replies meant for
the other process (failures, and bounds like "(-29592,-19101 23611x53200)").

Run under the rig with DISPLAY set (scripts/test-stage-10-x11.sh); without a
display it skips, unless VS_X11_REQUIRED is set.
"""

from __future__ import annotations

import multiprocessing
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "python"))

import vantorel_screenshot as vs  # noqa: E402

CHILDREN = 3
CAPTURES = 15
SKIP = 77  # ctest's SKIP_RETURN_CODE for this test


def bounding_box(listing):
    left = min(m["x"] for m in listing)
    top = min(m["y"] for m in listing)
    right = max(m["x"] + m["width"] for m in listing)
    bottom = max(m["y"] + m["height"] for m in listing)
    return left, top, right - left, bottom - top


def png_size(png: bytes):
    if png[:8] != b"\x89PNG\r\n\x1a\n" or png[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", png[16:24])


def captures(expected, count: int):
    """Lists and grabs count times; returns the failures, described."""
    failures = []
    x, y, width, height = bounding_box(expected)
    for i in range(count):
        try:
            listing = vs.monitors()
            if listing != expected:
                failures.append(f"capture {i}: monitors {listing}")
                continue
            size = png_size(vs.grab_png(x, y, width, height))
            if size != (width, height):
                failures.append(f"capture {i}: picture of {size}")
        except vs.ScreenshotError as error:
            failures.append(f"capture {i}: {error}")
    return failures


def child(expected, results) -> None:
    results.put((os.getpid(), captures(expected, CAPTURES)))


def main() -> int:
    if not os.environ.get("DISPLAY"):
        if os.environ.get("VS_X11_REQUIRED"):
            print("no DISPLAY", file=sys.stderr)
            return 1
        print("no DISPLAY: skipped")
        return SKIP
    expected = vs.monitors()
    x, y, width, height = bounding_box(expected)
    # Two read-backs: the second one makes the shared segment.
    for _ in range(2):
        if png_size(vs.grab_png(x, y, width, height)) != (width, height):
            print("the parent's first captures failed", file=sys.stderr)
            return 1

    context = multiprocessing.get_context("fork")
    results = context.Queue()
    children = [context.Process(target=child, args=(expected, results)) for _ in range(CHILDREN)]
    for process in children:
        process.start()
    parent_failures = captures(expected, CAPTURES)
    reports = [results.get(timeout=120) for _ in children]
    for process in children:
        process.join(timeout=30)
        if process.is_alive():
            process.kill()
            process.join()

    good = 0
    for pid, failures in reports:
        good += CAPTURES - len(failures)
        for failure in failures:
            print(f"child {pid}: {failure}", file=sys.stderr)
    for failure in parent_failures:
        print(f"parent: {failure}", file=sys.stderr)
    print(f"children: {good}/{CHILDREN * CAPTURES} captures good; "
          f"parent: {CAPTURES - len(parent_failures)}/{CAPTURES}")
    exit_codes = [process.exitcode for process in children]
    if any(code != 0 for code in exit_codes):
        print(f"children's exit codes: {exit_codes}", file=sys.stderr)
        return 1
    return 0 if good == CHILDREN * CAPTURES and not parent_failures else 1


if __name__ == "__main__":
    sys.exit(main())
