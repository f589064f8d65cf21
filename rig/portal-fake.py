#!/usr/bin/python3
"""A stand-in for the desktop portal (org.freedesktop.portal.Desktop) on the
session bus in $DBUS_SESSION_BUS_ADDRESS, answering Screenshot requests as the
control file says, read afresh for every request:

    rig/portal-fake.py [--start-delay SECONDS] [--pid-file FILE] CONTROL_FILE

--start-delay waits that long before going on the bus, as a portal the bus
starts on demand (D-Bus activation) and that is slow to come up; --pid-file
writes its process id there first, so that whoever had the bus start it can
stop it by its id.

The control file holds one line, ACTION [ARGUMENTS]:
    silent                never answers (the request object stays)
    answer CODE [URI]     answers CODE (0, 1, 2...) with "uri" = URI if given
    write SRC DST         copies SRC to DST in place (truncate and write, like
                          a backend that overwrites a fixed name), answers 0
                          with DST's file:// uri
    replace SRC DST       the same through a new file renamed over DST
    other-handle CODE URI like answer, but returns a handle of its own choosing
    no-screenshot         the Screenshot interface is missing
It prints "ready" once it owns the name, and serves until terminated."""
import os
import shutil
import sys
import time
import urllib.parse

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

NAME = "org.freedesktop.portal.Desktop"
PATH = "/org/freedesktop/portal/desktop"
REQUEST = "org.freedesktop.portal.Request"

args = sys.argv[1:]
start_delay = 0.0
pid_file = None
while len(args) > 1 and args[0] in ("--start-delay", "--pid-file"):
    if args[0] == "--start-delay":
        start_delay = float(args[1])
    else:
        pid_file = args[1]
    args = args[2:]
if len(args) != 1:
    sys.exit("usage: portal-fake.py [--start-delay SECONDS] [--pid-file FILE] CONTROL_FILE")
control_file = args[0]
counter = 0


def control():
    with open(control_file) as f:
        return f.read().split()


def file_uri(path):
    return "file://" + urllib.parse.quote(path)


class Request(dbus.service.Object):
    @dbus.service.signal(REQUEST, signature="ua{sv}")
    def Response(self, code, results):
        pass

    @dbus.service.method(REQUEST, in_signature="", out_signature="")
    def Close(self):
        self.remove_from_connection()


class Portal(dbus.service.Object):
    @dbus.service.method("org.freedesktop.portal.Screenshot", in_signature="sa{sv}",
                         out_signature="o", sender_keyword="sender")
    def Screenshot(self, parent, options, sender):
        global counter
        counter += 1
        words = control()
        action = words[0] if words else "silent"
        if action == "no-screenshot":
            raise dbus.exceptions.DBusException(
                "No such interface", name="org.freedesktop.DBus.Error.UnknownMethod")
        token = str(options.get("handle_token", "t%d" % counter))
        if action == "other-handle":
            handle = "/org/freedesktop/portal/desktop/request/elsewhere/r%d" % counter
        else:
            handle = "/org/freedesktop/portal/desktop/request/%s/%s" % (
                sender[1:].replace(".", "_"), token)
        request = Request(self.connection, handle)
        if action == "silent":
            return dbus.ObjectPath(handle)
        results = dbus.Dictionary({}, signature="sv")
        code = 0
        if action in ("answer", "other-handle"):
            code = int(words[1])
            if len(words) > 2:
                results["uri"] = dbus.String(words[2], variant_level=1)
        elif action == "write":
            with open(words[1], "rb") as src:
                data = src.read()
            # Into the same file when it is there (a reader may have removed
            # it meanwhile: then a new one), truncated first, as a backend that
            # overwrites a fixed name does.
            fd = os.open(words[2], os.O_WRONLY | os.O_CREAT, 0o644)
            try:
                os.ftruncate(fd, 0)
                view = memoryview(data)
                while view:
                    view = view[os.write(fd, view[:65536]):]
            finally:
                os.close(fd)
            results["uri"] = dbus.String(file_uri(words[2]), variant_level=1)
        elif action == "replace":
            tmp = "%s.%d.tmp" % (words[2], os.getpid())
            shutil.copyfile(words[1], tmp)
            os.rename(tmp, words[2])
            results["uri"] = dbus.String(file_uri(words[2]), variant_level=1)

        def answer():
            request.Response(dbus.UInt32(code), results)
            request.remove_from_connection()
            return False
        # After the reply, as the real portal does.
        GLib.idle_add(answer)
        return dbus.ObjectPath(handle)

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, prop):
        if interface == "org.freedesktop.portal.Screenshot" and prop == "version" and \
                control()[:1] != ["no-screenshot"]:
            return dbus.UInt32(2)
        raise dbus.exceptions.DBusException(
            "No such property", name="org.freedesktop.DBus.Error.InvalidArgs")


def main():
    if pid_file:
        with open(pid_file, "w") as f:
            f.write("%d\n" % os.getpid())
    time.sleep(start_delay)
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    Portal(bus, PATH)
    name = dbus.service.BusName(NAME, bus, do_not_queue=True)
    print("ready", flush=True)
    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, 15, loop.quit)
    loop.run()
    del name


if __name__ == "__main__":
    main()
