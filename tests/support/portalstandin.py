#!/usr/bin/python3
# The desktop portal's GlobalShortcuts on the session bus, standing in for a desktop that has it.
# Prints "ready" once it owns the portal's name and "bound ID..." once shortcuts are bound;
# the line "press" on its input holds the bound shortcut down and lets it go ("pressed").
import sys

from gi.repository import Gio, GLib

INTERFACE = """<node><interface name="org.freedesktop.portal.GlobalShortcuts">
 <method name="CreateSession"><arg type="a{sv}" direction="in"/><arg type="o" direction="out"/></method>
 <method name="BindShortcuts"><arg type="o" direction="in"/><arg type="a(sa{sv})" direction="in"/>
  <arg type="s" direction="in"/><arg type="a{sv}" direction="in"/><arg type="o" direction="out"/></method>
 <signal name="Activated"><arg type="o"/><arg type="s"/><arg type="t"/><arg type="a{sv}"/></signal>
 <signal name="Deactivated"><arg type="o"/><arg type="s"/><arg type="t"/><arg type="a{sv}"/></signal>
</interface></node>"""
PATH = "/org/freedesktop/portal/desktop"

bus = Gio.bus_get_sync(Gio.BusType.SESSION)
state = {"session": None, "shortcuts": []}


def path_for(kind, sender, token):
    return "%s/%s/%s/%s" % (PATH, kind, sender[1:].replace(".", "_"), token)


def respond(sender, path, results):
    def emit():
        bus.emit_signal(sender, path, "org.freedesktop.portal.Request", "Response",
                        GLib.Variant("(ua{sv})", (0, results)))
        return False
    GLib.idle_add(emit)


def call(connection, sender, path, interface, method, parameters, invocation):
    arguments = parameters.unpack()
    options = arguments[-1]
    request = path_for("request", sender, options["handle_token"])
    invocation.return_value(GLib.Variant("(o)", (request,)))
    if method == "CreateSession":
        state["session"] = path_for("session", sender, options["session_handle_token"])
        respond(sender, request, {"session_handle": GLib.Variant("s", state["session"])})
    elif method == "BindShortcuts":
        state["shortcuts"] = [shortcut[0] for shortcut in arguments[1]]
        respond(sender, request, {})
        print("bound " + " ".join(state["shortcuts"]), flush=True)


def emit(name):
    for shortcut in state["shortcuts"]:
        bus.emit_signal(None, PATH, "org.freedesktop.portal.GlobalShortcuts", name,
                        GLib.Variant("(osta{sv})", (state["session"], shortcut, 0, {})))


def read(source, condition):
    line = sys.stdin.readline()
    if not line or line.strip() == "quit":
        loop.quit()
        return False
    if line.strip() == "press":
        emit("Activated")
        emit("Deactivated")
        print("pressed", flush=True)
    return True


bus.register_object(PATH, Gio.DBusNodeInfo.new_for_xml(INTERFACE).interfaces[0], call, None, None)
Gio.bus_own_name_on_connection(bus, "org.freedesktop.portal.Desktop", Gio.BusNameOwnerFlags.NONE,
                               lambda *_: print("ready", flush=True), lambda *_: loop.quit())
GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, read)
loop = GLib.MainLoop()
loop.run()
