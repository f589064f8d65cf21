"""The compact encoder against the tools people use, whole process, side by
side in one run: the program's PNG of a whole 1920x1080 screen against
scrot's and maim's on X11 (the Xorg dummy rig) and grim's on headless sway,
each at its defaults, on a busy and a flat desktop (bench/desktops.py).

    /usr/bin/python3 bench/encoder.py [--runs N] [--out DIR] [--only x11|sway]

As root (the rigs need it), with the Release build in $VS_BUILD_DIR (default
build/): the program, vs-bench-wallpaper. For each desktop and display:

- every tool's PNG is decoded and compared with the picture on the screen,
  pixel for pixel (the count that differ);
- the sizes, and Python's ``vs.grab().save(path)`` against the program's
  bytes;
- whole-process wall times in interleaved rounds: each round runs every
  tool once, in turn, so a change in the machine's load falls on all alike;
  the medians, and the median of each round's ratio ours / peer.

Writes DIR/encoder.json and DIR/encoder.md (the table docs/performance.md
shows) and prints the table and one line per goal:

    goal <display> <desktop> <what>: ok|FAILED (<figures>)

The goals: the program's PNG no larger than the smallest peer's, its pixels
the screen's, Python's bytes the program's, its time at most 0.6 of scrot's
(X11) and 0.5 of grim's (sway).
"""

from __future__ import annotations

import argparse
import json
import os
import shlex
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Dict, List, Tuple

import numpy as np
from PIL import Image

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WIDTH, HEIGHT = 1920, 1080
TIME_GOALS = {"scrot": 0.6, "grim": 0.5}


def rig_env(script: List[str]) -> Tuple[Dict[str, str], str]:
    """Starts a rig script and returns the environment it prints, and its RIG_DIR."""
    done = subprocess.run(script, capture_output=True, text=True, timeout=300)
    if done.returncode != 0:
        sys.exit(f"encoder.py: {script[0]} failed:\n{done.stderr}")
    env = dict(os.environ)
    for line in done.stdout.splitlines():
        words = shlex.split(line)
        if words[:1] == ["export"] and "=" in words[1]:
            name, value = words[1].split("=", 1)
            env[name] = value
        elif words[:1] == ["unset"]:
            for name in words[1:]:
                env.pop(name, None)
    return env, env["RIG_DIR"]


def differing_pixels(path: str, picture: np.ndarray) -> int:
    with Image.open(path) as image:
        got = np.asarray(image.convert("RGB"))
    if got.shape != picture.shape:
        return picture.shape[0] * picture.shape[1]
    return int(np.any(got != picture, axis=2).sum())


def time_rounds(tools: Dict[str, List[str]], env: Dict[str, str], runs: int) -> Dict[str, List[float]]:
    """Wall seconds of each tool's whole process, runs rounds of every tool in
    turn (the order turning each round), after one warm-up each."""
    times: Dict[str, List[float]] = {name: [] for name in tools}
    names = list(tools)
    for round_ in range(-1, runs):
        order = names[round_ % len(names):] + names[: round_ % len(names)] if round_ >= 0 else names
        for name in order:
            start = time.perf_counter()
            done = subprocess.run(tools[name], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                  timeout=120)
            took = time.perf_counter() - start
            if done.returncode != 0:
                sys.exit(f"encoder.py: {name} failed: {done.stderr.decode(errors='replace')}")
            if round_ >= 0:
                times[name].append(took)
    return times


def measure(display: str, desktop: str, env: Dict[str, str], picture_path: str, out: str, runs: int,
            build: str) -> dict:
    cli = os.path.join(build, "cli", "vantorel-screenshot")
    files = {name: os.path.join(out, f"{display}-{desktop}-{name}.png") for name in ("ours", "scrot", "maim", "grim")}
    if display == "x11":
        tools = {"ours": [cli, "all", files["ours"]], "scrot": ["scrot", "-o", files["scrot"]],
                 "maim": ["maim", "-u", files["maim"]]}
    else:
        tools = {"ours": [cli, "all", files["ours"]], "grim": ["grim", files["grim"]]}
    times = time_rounds(tools, env, runs)
    picture = np.asarray(Image.open(picture_path).convert("RGB"))
    python_png = os.path.join(out, f"{display}-{desktop}-python.png")
    script = "import sys, vantorel_screenshot as vs; vs.grab().save(sys.argv[1])"
    py_env = dict(env, PYTHONPATH=os.path.join(ROOT, "python"),
                  VANTOREL_SCREENSHOT_LIBRARY=os.path.join(build, "libvantorel-screenshot.so.1"))
    subprocess.run(["/usr/bin/python3", "-c", script, python_png], env=py_env, check=True, timeout=120)
    result = {"display": display, "desktop": desktop, "runs": runs, "tools": {}}
    for name in tools:
        result["tools"][name] = {
            "bytes": os.path.getsize(files[name]),
            "differing_pixels": differing_pixels(files[name], picture),
            "median_ms": statistics.median(times[name]) * 1e3,
            "min_ms": min(times[name]) * 1e3,
        }
        if name != "ours":
            ratios = [a / b for a, b in zip(times["ours"], times[name])]
            result["tools"][name]["ours_over_tool"] = statistics.median(ratios)
    with open(python_png, "rb") as a, open(files["ours"], "rb") as b:
        result["python_same_bytes"] = a.read() == b.read()
    # The capture exports beside it: still stb's bytes for the same screen.
    checker = os.path.join(build, "bench", "vs-bench-stb-exact")
    if display == "x11" and os.path.exists(checker):
        done = subprocess.run([checker, out], env=env, capture_output=True, text=True, timeout=120)
        result["stb_exact"] = done.returncode == 0
        result["stb_exact_line"] = (done.stdout + done.stderr).strip()
    return result


def goals(result: dict) -> List[Tuple[str, bool, str]]:
    tools = result["tools"]
    ours = tools["ours"]
    peers = [name for name in tools if name != "ours"]
    smallest = min(peers, key=lambda name: tools[name]["bytes"])
    lines = [
        ("PNG no larger than the smallest peer's", ours["bytes"] <= tools[smallest]["bytes"],
         f"ours {ours['bytes']} bytes, {smallest} {tools[smallest]['bytes']}"),
        ("pixels the screen's", ours["differing_pixels"] == 0,
         f"{ours['differing_pixels']} pixels differ"),
        ("Python's save the program's bytes", result["python_same_bytes"], ""),
    ]
    if "stb_exact" in result:
        lines.append(("the capture exports' PNG stb's bytes", result["stb_exact"], result["stb_exact_line"]))
    for peer, bound in TIME_GOALS.items():
        if peer in tools:
            ratio = tools[peer]["ours_over_tool"]
            lines.append((f"time at most {bound} of {peer}'s", ratio <= bound,
                          f"median of paired ratios {ratio:.2f}; medians {ours['median_ms']:.0f} ms "
                          f"and {tools[peer]['median_ms']:.0f} ms"))
    return lines


def table(results: List[dict]) -> str:
    rows = ["| display | desktop | tool | PNG bytes | pixels differing | median | ours / tool |",
            "|---|---|---|---:|---:|---:|---:|"]
    for result in results:
        for name, tool in result["tools"].items():
            ratio = f"{tool['ours_over_tool']:.2f}" if "ours_over_tool" in tool else ""
            label = "vantorel-screenshot" if name == "ours" else name
            rows.append(f"| {result['display']} | {result['desktop']} | {label} | {tool['bytes']:,} | "
                        f"{tool['differing_pixels']} | {tool['median_ms']:.0f} ms | {ratio} |")
    return "\n".join(rows) + "\n"


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--out", default=None)
    parser.add_argument("--only", choices=("x11", "sway"), default=None)
    args = parser.parse_args()
    build = os.path.abspath(os.environ.get("VS_BUILD_DIR", os.path.join(ROOT, "build")))
    out = args.out or tempfile.mkdtemp(prefix="vs-encoder-bench-")
    os.makedirs(out, exist_ok=True)
    pictures = {}
    for desktop in ("busy", "flat"):
        pictures[desktop] = os.path.join(out, f"{desktop}.png")
        subprocess.run(["/usr/bin/python3", os.path.join(ROOT, "bench", "desktops.py"), desktop, str(WIDTH),
                        str(HEIGHT), pictures[desktop]], check=True, timeout=300)
    results = []
    if args.only in (None, "x11"):
        env, rig_dir = rig_env([os.path.join(ROOT, "rig", "start.sh"), "--mode", f"{WIDTH}x{HEIGHT}"])
        try:
            for desktop in ("busy", "flat"):
                subprocess.run([os.path.join(build, "bench", "vs-bench-wallpaper"), pictures[desktop]], env=env,
                               check=True, timeout=60)
                results.append(measure("x11", desktop, env, pictures[desktop], out, args.runs, build))
        finally:
            subprocess.run([os.path.join(ROOT, "rig", "stop.sh"), rig_dir], capture_output=True, timeout=120)
    if args.only in (None, "sway"):
        for desktop in ("busy", "flat"):
            env, rig_dir = rig_env([os.path.join(ROOT, "rig", "sway-start.sh"), "--mode", f"{WIDTH}x{HEIGHT}",
                                    "--picture", pictures[desktop], "--no-xwayland"])
            try:
                env.pop("DISPLAY", None)
                results.append(measure("sway", desktop, env, pictures[desktop], out, args.runs, build))
            finally:
                subprocess.run([os.path.join(ROOT, "rig", "sway-stop.sh"), rig_dir], capture_output=True,
                               timeout=120)
    text = table(results)
    with open(os.path.join(out, "encoder.md"), "w") as file:
        file.write(text)
    with open(os.path.join(out, "encoder.json"), "w") as file:
        json.dump(results, file, indent=1)
    print(text)
    for result in results:
        for what, ok, figures in goals(result):
            print(f"goal {result['display']} {result['desktop']} {what}: {'ok' if ok else 'FAILED'}"
                  + (f" ({figures})" if figures else ""))
    print(f"results in {out}")


if __name__ == "__main__":
    main()
