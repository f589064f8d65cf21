"""The window list on X11 and capture by its ids, on an Xvfb of the check's own:
without a window manager, then under openbox (which keeps
_NET_CLIENT_LIST_STACKING and _NET_ACTIVE_WINDOW).

vs-window-host opens five windows of known content and titles (see its
comment). For each setup the check asks that:
- `vantorel-screenshot windows` lists them topmost first, with xwininfo's
  geometry, their titles as UTF-8 (Latin-1 WM_NAME converted, malformed bytes
  replaced, a long title cut at 256 bytes), class, process and focus;
- Python's windows() gives the same list;
- `window ID FILE`, `window TITLE FILE` and grab(window=ID) capture them
  exactly; an ambiguous or unknown title fails with exit status 1;
- under openbox, a window minimized by the window manager says so.
Exit status 77 when Xvfb or openbox is missing (a skip), 1 on a failure.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

from PIL import Image


def pattern(x: int, y: int, seed: int) -> tuple:
    return ((x * 3 + seed * 50) & 255, (y * 5 + seed * 20) & 255, ((x >> 2) ^ (y >> 2) ^ (seed * 7)) & 255)


def expected_image(width: int, height: int, seed: int) -> bytes:
    return bytes(b for y in range(height) for x in range(width) for b in pattern(x, y, seed))


class Check:
    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.failures = 0
        self.processes: list = []
        self.dir = tempfile.mkdtemp(prefix="vs-window-list.")
        self.env = dict(os.environ)
        for name in ("WAYLAND_DISPLAY", "WAYLAND_SOCKET", "VANTOREL_SCREENSHOT_BACKEND", "XAUTHORITY"):
            self.env.pop(name, None)
        self.env["PYTHONPATH"] = args.python

    def expect(self, ok: bool, what: str, detail: str = "") -> None:
        if ok:
            print(f"ok: {what}")
        else:
            self.failures += 1
            print(f"FAILED: {what}{': ' + detail if detail else ''}")

    def start(self, command: list, **kwargs) -> subprocess.Popen:
        process = subprocess.Popen(command, env=self.env, **kwargs)
        self.processes.append(process)
        return process

    def stop_all(self) -> None:
        for process in reversed(self.processes):
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        self.processes = []

    def read_line(self, process: subprocess.Popen, seconds: float = 20) -> str:
        """A line of the process's output, or "" when none comes in time (the
        process is then ended)."""
        timer = threading.Timer(seconds, process.kill)
        timer.start()
        try:
            return process.stdout.readline()
        finally:
            timer.cancel()

    def xvfb(self) -> None:
        read, write = os.pipe()
        self.start(["Xvfb", "-displayfd", str(write), "-screen", "0", "800x600x24", "-noreset",
                    "-nolisten", "tcp"], pass_fds=(write,), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as pipe:
            number = pipe.readline().strip()
        if not number.isdigit():
            raise RuntimeError("Xvfb gave no display number")
        self.env["DISPLAY"] = ":" + number

    def cli(self, *args: str) -> subprocess.CompletedProcess:
        return subprocess.run([self.args.cli, *args], env=self.env, capture_output=True, timeout=30)

    def python(self, code: str) -> subprocess.CompletedProcess:
        return subprocess.run(["/usr/bin/python3", "-c", "import vantorel_screenshot as vs\n" + code],
                              env=self.env, capture_output=True, timeout=30)

    def xwininfo(self, window: str) -> tuple:
        text = subprocess.run(["xwininfo", "-id", window], env=self.env, capture_output=True,
                              timeout=10).stdout.decode(errors="replace")
        values = {}
        for line in text.splitlines():
            key, _, value = line.strip().partition(":")
            values[key] = value.strip()
        return (int(values["Absolute upper-left X"]), int(values["Absolute upper-left Y"]),
                int(values["Width"]), int(values["Height"]))

    def active_window(self) -> int:
        text = subprocess.run(["xprop", "-root", "_NET_ACTIVE_WINDOW"], env=self.env,
                              capture_output=True, text=True, timeout=10).stdout
        return int(text.rsplit(" ", 1)[-1], 16) if "#" in text else 0

    def run_setup(self, managed: bool) -> None:
        label = "openbox" if managed else "no window manager"
        self.xvfb()
        if managed:
            self.start(["openbox", "--sm-disable"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            for _ in range(100):
                if "_NET_SUPPORTING_WM_CHECK(WINDOW)" in subprocess.run(
                        ["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], env=self.env,
                        capture_output=True, text=True).stdout:
                    break
                time.sleep(0.05)
        host = self.start([self.args.host], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        hosted = []
        for _ in range(5):
            line = self.read_line(host).split()
            if len(line) != 6:
                self.expect(False, f"{label}: the host shows its windows", " ".join(line))
                self.stop_all()
                return
            hosted.append({"id": line[0], "width": int(line[3]), "height": int(line[4]),
                           "seed": int(line[5])})
        ids = [h["id"] for h in hosted]
        time.sleep(0.3)  # the window manager settles its frames and focus

        done = self.cli("windows")
        self.expect(done.returncode == 0, f"{label}: windows lists", done.stderr.decode())
        listed = json.loads(done.stdout)
        by_id = {w["id"]: w for w in listed}
        self.expect(all(i in by_id for i in ids), f"{label}: every window of the host is listed",
                    done.stdout.decode())
        if not all(i in by_id for i in ids):
            return
        order = [w["id"] for w in listed if w["id"] in ids]
        self.expect(order == ids[::-1], f"{label}: topmost first (mapped last)", str(order))
        geometry_ok = all((by_id[i]["x"], by_id[i]["y"], by_id[i]["width"], by_id[i]["height"])
                          == self.xwininfo(i) for i in ids)
        self.expect(geometry_ok, f"{label}: geometry as xwininfo gives it",
                    str([(by_id[i]["x"], by_id[i]["y"], self.xwininfo(i)) for i in ids]))
        titles = [by_id[i]["title"] for i in ids]
        want_titles = ["Fen\u00eatre \u2713 eins", "Caf\u00e9 zwei",
                       "bad\ufffd\ufffd" + "x" * 247, "twin", "twin"]
        self.expect(titles == want_titles, f"{label}: titles in UTF-8, checked and cut", repr(titles))
        first = by_id[ids[0]]
        self.expect(first["app"] == "VsWindowHost" and first["pid"] == host.pid
                    and by_id[ids[1]]["pid"] is None,
                    f"{label}: class and process", json.dumps(first))
        focused = [w["id"] for w in listed if w["focused"]]
        want_focus = [hex(self.active_window())] if managed else [ids[0]]
        self.expect(focused == want_focus, f"{label}: the focused window", f"{focused} vs {want_focus}")
        self.expect(not any(by_id[i]["minimized"] for i in ids), f"{label}: none minimized")

        done = self.python("import json; print(json.dumps(vs.windows()))")
        self.expect(done.returncode == 0 and json.loads(done.stdout) == listed,
                    f"{label}: Python's list equals the CLI's", done.stderr.decode())

        table = self.cli("windows", "--table")
        lines = table.stdout.decode().splitlines()
        self.expect(table.returncode == 0 and lines[0].startswith("ID") and len(lines) == len(listed) + 1
                    and any(line.endswith("Caf\u00e9 zwei") for line in lines),
                    f"{label}: --table", table.stdout.decode()[:400])

        for h, how in ((hosted[0], hosted[0]["id"]), (hosted[1], "Caf\u00e9 zwei")):
            path = os.path.join(self.dir, "w.png")
            done = self.cli("window", how, path)
            ok = done.returncode == 0
            if ok:
                image = Image.open(path).convert("RGB")
                ok = image.size == (h["width"], h["height"]) and image.tobytes() == expected_image(
                    h["width"], h["height"], h["seed"])
            self.expect(ok, f"{label}: window {how!r} captured exactly", done.stderr.decode())
        h = hosted[0]
        done = self.python(f"p = vs.grab(window={h['id']!r}); import sys; sys.stdout.buffer.write(p.rgb)")
        self.expect(done.returncode == 0 and done.stdout == expected_image(h["width"], h["height"], h["seed"]),
                    f"{label}: grab(window=ID) exactly", done.stderr.decode())

        for args, words in ((["window", "twin", os.path.join(self.dir, "t.png")],
                             "2 windows have the title 'twin'"),
                            (["window", "nobody", os.path.join(self.dir, "n.png")],
                             "no window has the id or the title 'nobody'")):
            done = self.cli(*args)
            self.expect(done.returncode == 1 and words in done.stderr.decode()
                        and not os.path.exists(args[2]),
                        f"{label}: {args[1]!r} refused", done.stderr.decode())

        if managed:
            host.stdin.write("iconify 4\n")
            host.stdin.flush()
            self.read_line(host)
            time.sleep(0.3)
            listed = json.loads(self.cli("windows").stdout)
            minimized = [w["id"] for w in listed if w["minimized"]]
            self.expect(minimized == [ids[4]], f"{label}: a minimized window says so", str(minimized))
        self.stop_all()


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--host", required=True)
    parser.add_argument("--python", required=True)
    args = parser.parse_args()
    for tool in ("Xvfb", "openbox", "xwininfo", "xprop"):
        if not shutil.which(tool):
            print(f"skipped: {tool} is not installed")
            return 77
    check = Check(args)
    try:
        check.run_setup(managed=False)
        check.run_setup(managed=True)
    finally:
        check.stop_all()
        shutil.rmtree(check.dir, ignore_errors=True)
    print(f"{check.failures} failed")
    return 1 if check.failures else 0


if __name__ == "__main__":
    sys.exit(main())
