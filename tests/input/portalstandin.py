#!/usr/bin/python3
# A stand-in GlobalShortcuts portal for the portal source's test: it answers CreateSession and
# BindShortcuts through request objects as the real portal does, then sends Activated and
# Deactivated for each "press" and "release" read on standard input. Like xdg-desktop-portal 1.21,
# it gives a session only to a caller that named its application id in the host registry first.
import sys

import dbus
import dbus.exceptions
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

PORTAL = "org.freedesktop.portal.GlobalShortcuts"
REGISTRY = "org.freedesktop.host.portal.Registry"


class Portal(dbus.service.Object):
    session = shortcut = ""
    registered = {}
    called = set()

    @dbus.service.method(REGISTRY, in_signature="sa{sv}", out_signature="", sender_keyword="sender")
    def Register(self, app_id, options, sender):
        if sender in self.called or sender in self.registered or not app_id:
            raise dbus.exceptions.DBusException("Registering too late", name="org.freedesktop.portal.Error.Failed")
        self.registered[sender] = app_id

    def answer(self, sender, options, results):
        path = "/org/freedesktop/portal/desktop/request/%s/%s" % (sender[1:].replace(".", "_"), options["handle_token"])
        response = dbus.lowlevel.SignalMessage(path, "org.freedesktop.portal.Request", "Response")
        response.append(dbus.UInt32(0), dbus.Dictionary(results, signature="sv"), signature="ua{sv}")
        GLib.idle_add(lambda: self.connection.send_message(response) and False)
        return dbus.ObjectPath(path)

    @dbus.service.method(PORTAL, in_signature="a{sv}", out_signature="o", sender_keyword="sender")
    def CreateSession(self, options, sender):
        self.called.add(sender)
        if sender not in self.registered:
            raise dbus.exceptions.DBusException("An app id is required", name="org.freedesktop.portal.Error.NotAllowed")
        self.session = "/org/freedesktop/portal/desktop/session/x/" + options["session_handle_token"]
        return self.answer(sender, options, {"session_handle": dbus.String(self.session)})

    @dbus.service.method(PORTAL, in_signature="oa(sa{sv})sa{sv}", out_signature="o", sender_keyword="sender")
    def BindShortcuts(self, session, shortcuts, parent, options, sender):
        self.shortcut = shortcuts[0][0]
        return self.answer(sender, options, {"shortcuts": shortcuts})

    def send(self, member):
        signal = dbus.lowlevel.SignalMessage("/org/freedesktop/portal/desktop", PORTAL, member)
        signal.append(dbus.ObjectPath(self.session), self.shortcut, dbus.UInt64(0), dbus.Dictionary({}, signature="sv"),
                      signature="osta{sv}")
        self.connection.send_message(signal)


def read_command(source, condition):
    command = sys.stdin.readline().strip()
    if command in ("press", "release"):
        portal.send("Activated" if command == "press" else "Deactivated")
    return bool(command)


dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
name = dbus.service.BusName("org.freedesktop.portal.Desktop", bus)
portal = Portal(bus, "/org/freedesktop/portal/desktop")
GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, read_command)
print("ready", flush=True)
GLib.MainLoop().run()
