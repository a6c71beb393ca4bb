#!/usr/bin/python3
# A GTK application for the insertion tests, driven like insertiontargetwindow:
#   open NAME X Y     a window titled "Vorsik target" with two notebook tabs, an entry
#                     in each (NAME and NAME2); answers "opened NAME" once NAME has the focus
#   activate NAME     shows the tab of that entry and focuses it; answers "active NAME"
#   text NAME         answers "text NAME BASE64" with the entry's UTF-8 text
#   quit
import base64
import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk  # noqa: E402

entries = {}


def answer(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def activate(name, reply, attempts=100):
    entry, notebook, page, window = entries[name]
    notebook.set_current_page(page)
    if window.is_active() and entry.has_focus():
        answer(reply + name)
        return False
    if attempts == 0:
        answer("failed " + name)
        return False
    window.present()
    entry.grab_focus()
    GLib.timeout_add(50, activate, name, reply, attempts - 1)
    return False


def run(words):
    command = words[0] if words else ""
    if command == "open" and len(words) == 4:
        name = words[1]
        window = Gtk.Window(title="Vorsik target")
        window.move(int(words[2]), int(words[3]))
        window.set_default_size(420, 120)
        notebook = Gtk.Notebook()
        for page, key in enumerate((name, name + "2")):
            entry = Gtk.Entry()
            notebook.append_page(entry, Gtk.Label(label="Вкладка " + str(page + 1)))
            entries[key] = (entry, notebook, page, window)
        window.add(notebook)
        window.show_all()
        activate(name, "opened ")
    elif command == "activate" and len(words) == 2 and words[1] in entries:
        activate(words[1], "active ")
    elif command == "text" and len(words) == 2 and words[1] in entries:
        text = entries[words[1]][0].get_text().encode()
        answer("text " + words[1] + " " + base64.b64encode(text).decode())
    elif command == "quit":
        Gtk.main_quit()
    else:
        answer("unknown " + command)


def read_input(source, condition):
    line = sys.stdin.readline()
    if not line:
        Gtk.main_quit()
        return False
    run(line.split())
    return True


GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, read_input)
answer("ready")
Gtk.main()
