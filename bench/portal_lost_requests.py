#!/usr/bin/python3
"""How often a desktop portal leaves a Screenshot request unanswered, and
what asking again would cost, measured with the library left out:

    bench/portal_lost_requests.py [--count N] [--first-wait S] [--bound S]

Each capture asks for one non-interactive screenshot, the way any client
would (its own connection, subscribed before the call). With --first-wait S
a request that has no answer after S seconds is closed
(org.freedesktop.portal.Request.Close) and a fresh one is made, again and
again until the answer or the bound (10 s, as the library's); without it the
only wait is the bound. Answers that still come for a closed request are
counted, and their files removed and counted too, since such a file is one a
capture would leave behind. The picture of each answer is removed.

Prints one line per capture that was not answered by its first request, then
a summary: captures, first requests lost, captures failed at the bound, late
answers to closed requests, files left in the Pictures folder, and the
distribution of capture times (ms). Run it with a portal rig's assignments in
the environment (rig/gnome-start.sh), as the rig's user.
"""
import argparse
import os
import sys
import time
import urllib.parse

from gi.repository import Gio, GLib


class Capture:
    def __init__(self, bus, counter):
        self.bus = bus
        self.counter = counter
        sender = bus.get_unique_name()[1:].replace(".", "_")
        self.prefix = "/org/freedesktop/portal/desktop/request/%s/" % sender
        self.pending = {}  # handle -> request number, for requests still open
        self.closed = set()
        self.late = []  # (handle, code, uri) of answers to closed requests
        self.answer = None
        bus.signal_subscribe("org.freedesktop.portal.Desktop", "org.freedesktop.portal.Request",
                             "Response", None, None, Gio.DBusSignalFlags.NONE, self.on_response)

    def on_response(self, _conn, _sender, path, _iface, _signal, params, *_):
        code, results = params.unpack()
        uri = results.get("uri")
        if path in self.closed:
            self.late.append((path, code, uri))
            remove(uri)
        elif path in self.pending:
            self.answer = (path, code, uri)

    def request(self):
        self.counter += 1
        token = "lost%d_%d" % (os.getpid(), self.counter)
        handle = self.prefix + token
        self.pending[handle] = self.counter
        options = {"handle_token": GLib.Variant("s", token),
                   "interactive": GLib.Variant("b", False)}
        self.bus.call("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                      "org.freedesktop.portal.Screenshot", "Screenshot",
                      GLib.Variant("(sa{sv})", ("", options)), GLib.VariantType("(o)"),
                      Gio.DBusCallFlags.NONE, 10000, None, None)
        return handle

    def close(self, handle):
        self.pending.pop(handle, None)
        self.closed.add(handle)
        self.bus.call("org.freedesktop.portal.Desktop", handle, "org.freedesktop.portal.Request",
                      "Close", None, None, Gio.DBusCallFlags.NONE, 2000, None, None)


def remove(uri):
    if not uri:
        return
    try:
        os.remove(urllib.parse.unquote(urllib.parse.urlparse(uri).path))
    except OSError:
        pass


def run_loop_until(context, deadline, done):
    while not done() and time.monotonic() < deadline:
        context.iteration(False) or time.sleep(0.002)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--count", type=int, default=500)
    parser.add_argument("--first-wait", type=float, default=0.0)
    parser.add_argument("--bound", type=float, default=10.0)
    parser.add_argument("--pictures", default=os.environ.get("VS_PORTAL_PICTURES", ""))
    args = parser.parse_args()
    context = GLib.MainContext.default()
    before = set(os.listdir(args.pictures)) if args.pictures else set()
    times, lost_first, failed, requests = [], 0, 0, 0
    counter = 0
    late_total = 0
    for i in range(args.count):
        bus = Gio.DBusConnection.new_for_address_sync(
            Gio.dbus_address_get_for_bus_sync(Gio.BusType.SESSION, None),
            Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
            | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
        c = Capture(bus, counter)
        start = time.monotonic()
        deadline = start + args.bound
        tries = 0
        while True:
            handle = c.request()
            tries += 1
            requests += 1
            wait_until = deadline
            if args.first_wait > 0:
                wait_until = min(deadline, time.monotonic() + args.first_wait)
            run_loop_until(context, wait_until, lambda: c.answer is not None)
            if c.answer is not None or time.monotonic() >= deadline:
                break
            c.close(handle)
        ms = (time.monotonic() - start) * 1000
        if c.answer is None:
            failed += 1
            for h in list(c.pending):
                c.close(h)
        else:
            remove(c.answer[2])
            times.append(ms)
        if tries > 1 or c.answer is None:
            lost_first += 1
            print("capture %d: %s after %d requests, %.0f ms" %
                  (i, "answered" if c.answer else "no answer", tries, ms), flush=True)
        # Late answers to closed requests come on this connection; give them
        # a moment before it closes.
        if tries > 1:
            run_loop_until(context, time.monotonic() + 2.0, lambda: False)
        late_total += len(c.late)
        for late in c.late:
            print("  late answer to a closed request: code %d uri %s" % (late[1], late[2]), flush=True)
        counter = c.counter
        bus.close_sync(None)
    left = sorted(set(os.listdir(args.pictures)) - before) if args.pictures else []
    times.sort()
    n = len(times)

    def pct(p):
        return times[min(n - 1, int(n * p))] if n else 0

    print("captures %d, requests %d, first request unanswered %d, failed at the bound %d, "
          "late answers to closed requests %d, files left %d %s" %
          (args.count, requests, lost_first, failed, late_total, len(left), left[:5]))
    if n:
        print("capture ms: min %.0f median %.0f p90 %.0f p99 %.0f max %.0f" %
              (times[0], pct(0.5), pct(0.9), pct(0.99), times[-1]))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
