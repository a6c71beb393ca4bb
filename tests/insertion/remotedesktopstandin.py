#!/usr/bin/python3
# A stand-in RemoteDesktop portal: it answers through request objects as the real portal does and
# passes the keys on to a remote-desktop session of mutter's own, so they arrive for real.
# Argument "grant" or "refuse": the user's answer whenever it is asked ("consent" is printed then).
# A restore token it issued spares the question; any other is rejected. "close" on standard input
# closes the session as the desktop would.
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

PORTAL = "org.freedesktop.portal.RemoteDesktop"
MUTTER = "org.gnome.Mutter.RemoteDesktop"


class Session(dbus.service.Object):
    mutter = None

    @dbus.service.method("org.freedesktop.portal.Session", in_signature="", out_signature="")
    def Close(self):
        if self.mutter:
            self.mutter.Stop()
        self.remove_from_connection()

    @dbus.service.signal("org.freedesktop.portal.Session", signature="a{sv}")
    def Closed(self, details):
        pass


class Portal(dbus.service.Object):
    sessions = {}
    issued = set()

    def answer(self, sender, options, code, results):
        path = "/org/freedesktop/portal/desktop/request/%s/%s" % (sender[1:].replace(".", "_"), options["handle_token"])
        response = dbus.lowlevel.SignalMessage(path, "org.freedesktop.portal.Request", "Response")
        response.append(dbus.UInt32(code), dbus.Dictionary(results, signature="sv"), signature="ua{sv}")
        GLib.idle_add(lambda: self.connection.send_message(response) and False)
        return dbus.ObjectPath(path)

    @dbus.service.method(PORTAL, in_signature="a{sv}", out_signature="o", sender_keyword="sender")
    def CreateSession(self, options, sender):
        path = "/org/freedesktop/portal/desktop/session/x/" + options["session_handle_token"]
        self.sessions[path] = Session(self.connection, path)
        self.sessions[path].token = None
        return self.answer(sender, options, 0, {"session_handle": dbus.String(path)})

    @dbus.service.method(PORTAL, in_signature="oa{sv}", out_signature="o", sender_keyword="sender")
    def SelectDevices(self, session, options, sender):
        ok = options.get("types") == 1 and options.get("persist_mode") == 2
        self.sessions[session].token = options.get("restore_token")
        return self.answer(sender, options, 0 if ok else 2, {})

    @dbus.service.method(PORTAL, in_signature="osa{sv}", out_signature="o", sender_keyword="sender")
    def Start(self, session, parent, options, sender):
        token = self.sessions[session].token
        if token and token not in self.issued:
            return self.answer(sender, options, 2, {})
        if not token:
            print("consent", flush=True)
            if mode == "refuse":
                return self.answer(sender, options, 1, {})
        bus = self.connection
        path = bus.get_object(MUTTER, "/org/gnome/Mutter/RemoteDesktop").CreateSession(dbus_interface=MUTTER)
        mutter = dbus.Interface(bus.get_object(MUTTER, path), MUTTER + ".Session")
        mutter.Start()
        self.sessions[session].mutter = mutter
        token = "token-%d" % (len(self.issued) + 1)
        self.issued.add(token)
        return self.answer(sender, options, 0, {"devices": dbus.UInt32(1), "restore_token": token})

    @dbus.service.method(PORTAL, in_signature="oa{sv}iu", out_signature="")
    def NotifyKeyboardKeycode(self, session, options, keycode, state):
        self.sessions[str(session)].mutter.NotifyKeyboardKeycode(dbus.UInt32(keycode), bool(state))


def read_command(source, condition):
    command = sys.stdin.readline().strip()
    if command == "close":
        for session in portal.sessions.values():
            if session.mutter:
                session.Closed({})
    return bool(command)


mode = sys.argv[1]
dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
name = dbus.service.BusName("org.freedesktop.portal.Desktop", bus)
portal = Portal(bus, "/org/freedesktop/portal/desktop")
GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, read_command)
print("ready", flush=True)
GLib.MainLoop().run()
