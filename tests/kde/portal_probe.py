#!/usr/bin/python3
"""Asks the desktop portal for one non-interactive screenshot, the way any
client would, and prints the answer as one line of JSON:
{"response": N, "uri": "file://...", "seconds": S}; "response" is null when no
answer came within the bound. Independent of the library: the KDE tests use it
for what the desktop shows and the rig checks use it to see the portal work.

    portal_probe.py [--timeout SECONDS] [--copy PATH] [--keep]

The portal's file is copied to PATH with --copy, and removed unless --keep.
The answer goes to the caller's connection only (and the request ends when
that connection closes), which is why this is a program and not gdbus.
"""
import argparse
import json
import os
import shutil
import sys
import time
import urllib.parse

from gi.repository import Gio, GLib


def screenshot(timeout: float):
    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    token = "probe%d_%d" % (os.getpid(), int(time.monotonic() * 1000) % 1000000)
    sender = bus.get_unique_name()[1:].replace(".", "_")
    request = "/org/freedesktop/portal/desktop/request/%s/%s" % (sender, token)
    loop = GLib.MainLoop()
    answer = {}

    def on_response(_conn, _sender, _path, _iface, _signal, params, *_):
        code, results = params.unpack()
        answer["response"] = code
        answer["uri"] = results.get("uri")
        loop.quit()

    # Subscribed before the call, so an answer that comes at once is not lost.
    sub = bus.signal_subscribe("org.freedesktop.portal.Desktop",
                               "org.freedesktop.portal.Request", "Response",
                               request, None, Gio.DBusSignalFlags.NONE,
                               on_response)
    start = time.monotonic()
    options = {"handle_token": GLib.Variant("s", token),
               "interactive": GLib.Variant("b", False)}
    reply = bus.call_sync("org.freedesktop.portal.Desktop",
                          "/org/freedesktop/portal/desktop",
                          "org.freedesktop.portal.Screenshot", "Screenshot",
                          GLib.Variant("(sa{sv})", ("", options)),
                          GLib.VariantType("(o)"), Gio.DBusCallFlags.NONE,
                          int(timeout * 1000), None)
    answer["request"] = reply.unpack()[0]
    if "response" not in answer:
        GLib.timeout_add(int(timeout * 1000), loop.quit)
        loop.run()
    bus.signal_unsubscribe(sub)
    answer.setdefault("response", None)
    answer.setdefault("uri", None)
    answer["seconds"] = round(time.monotonic() - start, 4)
    return answer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--timeout", type=float, default=10.0)
    parser.add_argument("--copy", help="copy the picture here before removing it")
    parser.add_argument("--keep", action="store_true", help="leave the portal's file")
    args = parser.parse_args()
    answer = screenshot(args.timeout)
    uri = answer.get("uri")
    if uri:
        path = urllib.parse.unquote(urllib.parse.urlparse(uri).path)
        answer["path"] = path
        if args.copy:
            shutil.copyfile(path, args.copy)
        if not args.keep:
            os.remove(path)
    print(json.dumps(answer))
    return 0 if answer["response"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
