#!/usr/bin/python3
# A GTK window for the insertion tests, driven like insertiontargetwindow (open NAME X Y [MAX LENGTH],
# activate NAME, text NAME, quit); its window has two notebook tabs with an entry each, named NAME and NAME2.
import base64
import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk  # noqa: E402

entries = {}


def answer(line):
    print(line, flush=True)


def activate(name, reply, attempts=100):
    entry, notebook, page, window = entries[name]
    notebook.set_current_page(page)
    if window.is_active() and entry.has_focus() or attempts == 0:
        answer((reply if attempts else "failed ") + name)
        return
    window.present()
    entry.grab_focus()
    GLib.timeout_add(50, activate, name, reply, attempts - 1)


def run(words):
    if words[:1] == ["open"] and len(words) in (4, 5):
        window = Gtk.Window(title="Vorsik target")
        window.move(int(words[2]), int(words[3]))
        window.set_default_size(420, 120)
        notebook = Gtk.Notebook()
        for page, key in enumerate((words[1], words[1] + "2")):
            entries[key] = (Gtk.Entry(max_length=int(words[4]) if len(words) == 5 else 0), notebook, page, window)
            notebook.append_page(entries[key][0], Gtk.Label(label=key))
        window.add(notebook)
        window.show_all()
        activate(words[1], "opened ")
    elif words[:1] == ["activate"] and words[1:] and words[1] in entries:
        activate(words[1], "active ")
    elif words[:1] == ["text"] and words[1:] and words[1] in entries:
        answer("text " + words[1] + " " + base64.b64encode(entries[words[1]][0].get_text().encode()).decode())


def read_input(source, condition):
    line = sys.stdin.readline()
    if not line or line.split() == ["quit"]:
        Gtk.main_quit()
        return False
    run(line.split())
    return True


GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, read_input)
answer("ready")
Gtk.main()
