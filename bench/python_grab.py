#!/usr/bin/python3
"""The whole 1920x1080 screen into a numpy array, from Python, side by side:

  ours       np.asarray(vs.grab())                  raw pixels, no copy
  Pillow     np.asarray(ImageGrab.grab())           Pillow's own X11 capture
  PNG route  np.asarray(Image.open(BytesIO(vs.grab_png(...))))
                                                     the library encodes, Pillow decodes

in interleaved rounds (each round runs all three, the order turning), with
the median and the minimum of each and the median of the per-round ratios;
then vs.grab() in a loop for a few seconds, frames per second. On the Xorg
rig (one 1920x1080 monitor showing ../shared/bench/desktop-1920x1080.png),
then on the headless sway rig showing the same picture, where Pillow has no
capture of its own and only ours and the PNG route run.

    /usr/bin/python3 bench/python_grab.py [--build DIR] [--rounds N] [--seconds S]

Runs as root (the rigs start Xorg and sway's user), with Debian's python3,
python3-numpy and python3-pil. It builds the library and the wallpaper tool
in DIR (default build-perf/), starts each rig, measures in a child process
under the rig's environment, and stops the rig by its own script on every
way out. Prints one table; the figures go to bench/RESULTS.md by hand.
"""

from __future__ import annotations

import argparse
import io
import json
import os
import shlex
import signal
import statistics
import subprocess
import sys
import time
from typing import Callable, Dict, List

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
IMAGE = os.path.join(REPO, "..", "shared", "bench", "desktop-1920x1080.png")
PYTHON = "/usr/bin/python3"


# ---------------------------------------------------------------------------
# In the child, under a rig's environment


def measure(layer: str, rounds: int, seconds: float) -> Dict[str, object]:
    import numpy as np
    from PIL import Image, ImageGrab

    import vantorel_screenshot as vs

    routes: Dict[str, Callable[[], object]] = {
        "ours": lambda: np.asarray(vs.grab()),
        "png route": lambda: np.asarray(Image.open(io.BytesIO(vs.grab_png(0, 0, 1920, 1080)))),
    }
    if layer == "x11":
        routes["pillow"] = lambda: np.asarray(ImageGrab.grab())

    # What is timed must be right: ours equals the PNG route and the picture.
    ours = np.asarray(vs.grab())
    assert ours.shape == (1080, 1920, 4) and ours.dtype == np.uint8, ours.shape
    assert np.array_equal(ours, routes["png route"]()), "ours differs from the PNG route"
    with Image.open(IMAGE) as picture:
        shown = np.asarray(picture.convert("RGB"))
    differ = int(np.count_nonzero((ours[:, :, :3] != shown).any(axis=2)))
    if layer == "x11":
        pillow = routes["pillow"]()
        assert np.array_equal(pillow[:, :, :3], ours[:, :, :3]), "Pillow sees other pixels"

    names = list(routes)
    times: Dict[str, List[float]] = {name: [] for name in names}
    for name in names:  # warm up
        routes[name]()
    for r in range(rounds):
        order = names[r % len(names) :] + names[: r % len(names)]
        for name in order:
            start = time.perf_counter()
            result = routes[name]()
            times[name].append(time.perf_counter() - start)
            del result

    frames = 0
    start = time.perf_counter()
    while time.perf_counter() - start < seconds:
        np.asarray(vs.grab())
        frames += 1
    fps = frames / (time.perf_counter() - start)

    summary: Dict[str, object] = {"layer": layer, "rounds": rounds, "fps": fps, "differ": differ}
    for name in names:
        summary[name] = {
            "median_ms": 1000 * statistics.median(times[name]),
            "min_ms": 1000 * min(times[name]),
        }
    for other in ("pillow", "png route"):
        if other in times:
            ratios = [a / b for a, b in zip(times["ours"], times[other])]
            summary["ours/" + other] = statistics.median(ratios)
    return summary


# ---------------------------------------------------------------------------
# In the parent: rigs and table


def rig_env(start: List[str]) -> Dict[str, str]:
    """Runs a rig's start script and returns the environment it prints."""
    out = subprocess.run(start, check=True, capture_output=True, text=True, timeout=120).stdout
    env = dict(os.environ)
    for line in out.splitlines():
        words = shlex.split(line)
        if words and words[0] == "export":
            words = words[1:]
        for word in words:
            if "=" in word:
                key, value = word.split("=", 1)
                env[key] = value
    return env


def child(layer: str, env: Dict[str, str], args: argparse.Namespace) -> Dict[str, object]:
    env = dict(env, PYTHONPATH=os.path.join(REPO, "python"),
               VANTOREL_SCREENSHOT_LIBRARY=os.path.join(args.build, "libvantorel-screenshot.so.1"))
    command = [PYTHON, os.path.abspath(__file__), "--measure", layer,
               "--rounds", str(args.rounds), "--seconds", str(args.seconds)]
    out = subprocess.run(command, env=env, check=True, capture_output=True, text=True,
                         timeout=900).stdout
    result: Dict[str, object] = json.loads(out)
    return result


def on_x11(args: argparse.Namespace) -> Dict[str, object]:
    env = rig_env([os.path.join(REPO, "rig", "start.sh"), "--mode", "1920x1080"])
    try:
        subprocess.run([os.path.join(args.build, "bench", "vs-bench-wallpaper"), IMAGE],
                       env=env, check=True, timeout=60)
        return child("x11", env, args)
    finally:
        subprocess.run([os.path.join(REPO, "rig", "stop.sh"), env["RIG_DIR"]], timeout=60)


def on_sway(args: argparse.Namespace) -> Dict[str, object]:
    env = rig_env([os.path.join(REPO, "rig", "sway-start.sh"), "--mode", "1920x1080",
                   "--picture", IMAGE, "--no-xwayland"])
    try:
        env.pop("DISPLAY", None)
        return child("wayland", env, args)
    finally:
        subprocess.run([os.path.join(REPO, "rig", "sway-stop.sh"), env["RIG_DIR"]], timeout=60)


def table(results: List[Dict[str, object]]) -> str:
    lines = [
        "| desktop | route | median ms | min ms | ours / it (median of paired rounds) |",
        "|---|---|---:|---:|---:|",
    ]
    for result in results:
        for name, label in (("ours", "`np.asarray(vs.grab())`"),
                            ("pillow", "`np.asarray(ImageGrab.grab())`"),
                            ("png route", "`grab_png` + Pillow decode + `np.asarray`")):
            if name not in result:
                continue
            figures = result[name]
            assert isinstance(figures, dict)
            ratio = result.get("ours/" + name)
            lines.append(f"| {result['layer']} | {label} | {figures['median_ms']:.1f} | "
                         f"{figures['min_ms']:.1f} | {'' if ratio is None else f'{ratio:.3f}'} |")
    lines.append("")
    for result in results:
        lines.append(f"{result['layer']}: `vs.grab()` + `np.asarray` in a loop: "
                     f"{result['fps']:.1f} frames per second; {result['rounds']} rounds; "
                     f"pixels unlike the picture shown: {result['differ']}")
    return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(REPO, "build-perf"))
    parser.add_argument("--rounds", type=int, default=40)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--measure", choices=["x11", "wayland"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.measure:
        print(json.dumps(measure(args.measure, args.rounds, args.seconds)))
        return 0

    args.build = os.path.abspath(args.build)
    if not os.path.exists(os.path.join(args.build, "CMakeCache.txt")):
        subprocess.run(["cmake", "-S", REPO, "-B", args.build, "-DCMAKE_BUILD_TYPE=Release"],
                       check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", args.build, "-j2", "--target", "vantorel-screenshot",
                    "vs-bench-wallpaper"], check=True, stdout=subprocess.DEVNULL)
    # A stop from outside still runs the rigs' stop scripts (finally above).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    results = [on_x11(args), on_sway(args)]
    print(table(results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
