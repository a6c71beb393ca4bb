#!/usr/bin/python3
# Measures, per application and field, what an AT-SPI EditableText insert does compared with a
# clipboard paste (xclip + XTest Ctrl+V through xdotool). Run by bench/direct-insertion-apps.sh
# inside scripts/headless-session; prints one table row per field.
#
# The direct insert mirrors AtspiAccessibilityBackend::insertText: at the caret, the length in
# UTF-16 units for Qt and in bytes for every other toolkit.
import os
import statistics
import subprocess
import sys
import tempfile
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

QT_TARGET = sys.argv[1]
GTK_TARGET = sys.argv[2]
CYRILLIC = "Съешь ёж"
BASE = "Hello world"
RUNS = 5


def run(*command):
    return subprocess.run(command, capture_output=True, text=True).stdout


def text_of(element):
    return Atspi.Text.get_text(element, 0, Atspi.Text.get_character_count(element))


def caret_of(element):
    return Atspi.Text.get_caret_offset(element)


def direct(element, text):
    qt = element.get_application().get_toolkit_name().lower() == "qt"
    length = len(text.encode("utf-16-le")) // 2 if qt else len(text.encode())
    return Atspi.EditableText.insert_text(element, max(caret_of(element), 0), text, length)


def wait_for(predicate, seconds=5.0, step=0.005):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return None


def application(pid, seconds=60, name=None):
    def find():
        desktop = Atspi.get_desktop(0)
        for i in range(desktop.get_child_count()):
            child = desktop.get_child_at_index(i)
            if child is not None and (child.get_process_id() == pid or name and name in child.get_name().lower()):
                return child
        return None

    return wait_for(find, seconds, 0.2)


def walk(element, wanted, depth=0):
    if element is None or depth > 40:
        return None
    if wanted(element):
        return element
    try:
        count = element.get_child_count()
    except Exception:
        return None
    for i in range(min(count, 400)):
        found = walk(element.get_child_at_index(i), wanted, depth + 1)
        if found:
            return found
    return None


def focused_editable(element):
    states = element.get_state_set()
    return states.contains(Atspi.StateType.FOCUSED) and states.contains(Atspi.StateType.EDITABLE)


def by_id(name):
    return lambda element: (element.get_attributes() or {}).get("id") == name


def focus_window(pid):
    for window in run("xdotool", "search", "--onlyvisible", "--pid", str(pid)).split():
        run("xdotool", "windowactivate", "--sync", window)
        run("xdotool", "windowfocus", "--sync", window)


def key(combo):
    run("xdotool", "key", "--clearmodifiers", combo)


def reset(element, content=BASE, caret=5):
    try:
        Atspi.EditableText.set_text_contents(element, content)
    except Exception:
        pass
    if not wait_for(lambda: text_of(element) == content, 2):
        # Where the accessible edit does nothing, the keyboard does it.
        key("ctrl+a")
        run("xdotool", "type", content) if content else key("BackSpace")
        wait_for(lambda: text_of(element) == content, 2)
        key("Home")
        for _ in range(caret):
            key("Right")
    Atspi.Text.set_caret_offset(element, caret)
    wait_for(lambda: caret_of(element) == caret, 1)


def undo_steps(element, before, after):
    if text_of(element) != after:
        return "?"
    key("ctrl+z")
    time.sleep(0.3)
    now = text_of(element)
    return "1 step" if now == before else ("no" if now == after else "other")


def measure(name, pid, element, limit=None):
    """One row: where the text lands, exactness, selection, undo, limits, times."""
    focus_window(pid)
    try:
        Atspi.Component.grab_focus(element)
    except Exception:  # GTK 4 has no Component actions; the focus is already there
        pass
    row = {"target": name, "toolkit": element.get_application().get_toolkit_name()}

    reset(element)
    try:
        ok = direct(element, "XY")
    except Exception as error:
        row["at caret"] = "refused: %s" % error.message if hasattr(error, "message") else error
        return with_paste(row, element, limit)
    if not wait_for(lambda: text_of(element) != BASE, 1):
        row["at caret"] = "accepted: %s, nothing arrives" % ok
        return with_paste(row, element, limit)
    row["at caret"] = "yes" if ok and wait_for(lambda: text_of(element) == "HelloXY world", 1) else repr(text_of(element))

    reset(element)
    expected = "Hello" + CYRILLIC + " world"
    direct(element, CYRILLIC)
    row["exact"] = "yes" if wait_for(lambda: text_of(element) == expected, 1) else repr(text_of(element))
    row["undo direct"] = undo_steps(element, BASE, expected)

    reset(element, caret=11)
    try:
        Atspi.Text.set_selection(element, 0, 6, 11) if Atspi.Text.get_n_selections(element) else \
            Atspi.Text.add_selection(element, 6, 11)
        direct(element, "XY")
        landed = wait_for(lambda: text_of(element) != BASE, 1) and text_of(element)
        row["selection"] = {"Hello XY": "replaced", "Hello worldXY": "kept, after it"}.get(landed, repr(landed))
    except Exception:
        row["selection"] = "cannot select over AT-SPI"

    if limit:
        reset(element, "", 0)
        direct(element, "x" * (limit + 5))
        wait_for(lambda: text_of(element), 1)
        row["limit"] = "respected" if len(text_of(element)) <= limit else "exceeded (%d)" % len(text_of(element))

    times = []
    for _ in range(RUNS):
        reset(element)
        start = time.monotonic()
        direct(element, CYRILLIC)
        if wait_for(lambda: CYRILLIC in text_of(element), 2, 0.001):
            times.append((time.monotonic() - start) * 1000)
    row["direct ms"] = "%.1f" % statistics.median(times) if times else "-"

    return with_paste(row, element, limit)


def with_paste(row, element, limit):
    pasted = measure_paste(element, limit)
    if "limit" in pasted:
        pasted["limit"] = "direct: " + row.get("limit", "-") + pasted["limit"]
    return row | pasted


def paste(text):
    copy = subprocess.Popen(["xclip", "-selection", "clipboard", "-i"], stdin=subprocess.PIPE)
    copy.communicate(text.encode())
    key("ctrl+v")


def measure_paste(element, limit=None):
    row = {}
    if limit:
        reset(element, "", 0)
        paste("x" * (limit + 5))
        wait_for(lambda: text_of(element), 2)
        pasted = len(text_of(element))
        row["limit"] = "; paste: " + ("respected" if pasted <= limit else "exceeded")
    expected = "Hello" + CYRILLIC + " world"
    times = []
    for _ in range(RUNS):
        reset(element)
        start = time.monotonic()
        paste(CYRILLIC)
        if wait_for(lambda: CYRILLIC in text_of(element), 3, 0.005):
            times.append((time.monotonic() - start) * 1000)
    row["paste ms"] = "%.1f" % statistics.median(times) if times else "no paste"
    row["undo paste"] = undo_steps(element, BASE, expected) if times else "-"
    return row


def start(command, env=None, seconds=60):
    process = subprocess.Popen(command, env={**os.environ, **(env or {})}, stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    return process


def ask(process, command, expected):
    if command:
        process.stdin.write(command + "\n")
        process.stdin.flush()
    while True:
        line = process.stdout.readline()
        if not line or line.startswith(expected):
            return line


rows = []


def attempt(name, body):
    try:
        rows.extend(body())
    except Exception as error:  # one application failing leaves the others measured
        import traceback
        traceback.print_exc()
        rows.append({"target": name, "toolkit": "failed: %s" % error})


def test_windows():
    result = []
    for name, program, validated in (("test window (Qt)", QT_TARGET, True), ("test window (GTK)", GTK_TARGET, False)):
        process = start([program], {"QT_QPA_PLATFORM": "xcb"})
        ask(process, None, "ready")
        ask(process, "open one 100 100", "opened one")
        app = application(process.pid)
        field = wait_for(lambda: walk(app, focused_editable), 20, 0.2)
        result.append(measure(name + " entry", process.pid, field))
        if not validated:
            ask(process, "open limited 100 300 20", "opened limited")
            field = wait_for(lambda: walk(app, focused_editable), 20, 0.2)
            result.append(measure(name + " entry, max length 20", process.pid, field, 20))
        if validated:
            ask(process, "open two 100 300 digits", "opened two")
            field = wait_for(lambda: walk(app, focused_editable), 20, 0.2)
            reset(field, "", 0)
            direct(field, "abc")
            time.sleep(0.2)
            bypassed = text_of(field) == "abc"
            reset(field, "", 0)
            paste("abc")
            time.sleep(0.5)
            result.append({"target": name + " digits only", "toolkit": "Qt",
                           "limit": "direct: validator %s; paste: validator %s" % (
                               "bypassed" if bypassed else "respected",
                               "bypassed" if text_of(field) == "abc" else "respected")})
        ask(process, "quit", "x")
        process.kill()
    return result


def editor(name, command, env):
    home = tempfile.mkdtemp()
    process = start(command + [os.path.join(home, "note.txt")], env)
    app = application(process.pid, 60, command[0])
    field = wait_for(lambda: walk(app, lambda e: e.get_role() in (Atspi.Role.TEXT, Atspi.Role.ENTRY) and
                                  e.get_state_set().contains(Atspi.StateType.EDITABLE)), 30, 0.3)
    row = measure(name, app.get_process_id(), field)
    process.kill()
    return [row]


EDITORS = (("gedit text view", ["gedit", "--standalone"], {"GDK_BACKEND": "x11"}),
           ("gnome-text-editor (GTK 4)", ["gnome-text-editor", "--standalone"], {"GDK_BACKEND": "x11"}))


PAGE = """<!doctype html><meta charset=utf-8><title>fields</title>
<input id=in value=x><textarea id=area maxlength=20></textarea><div id=rich contenteditable>x</div>"""


def firefox():
    home = tempfile.mkdtemp()
    page = os.path.join(home, "fields.html")
    with open(page, "w") as out:
        out.write(PAGE)
    with open(os.path.join(home, "user.js"), "w") as out:
        out.write('user_pref("accessibility.force_disabled", -1);\n')
    process = start(["firefox-esr", "--no-remote", "--profile", home, "file://" + page], {"GNOME_ACCESSIBILITY": "1"})
    app = application(process.pid, 90)
    result = []
    for name, ident, limit in (("Firefox <input>", "in", None), ("Firefox <textarea maxlength=20>", "area", 20),
                               ("Firefox contenteditable", "rich", None)):
        field = wait_for(lambda: walk(app, by_id(ident)), 60, 0.5)
        result.append(measure(name, process.pid, field, limit))
    process.kill()
    return result


def writer():
    process = start(["soffice", "--writer", "--norestore", "--nologo", "-env:UserInstallation=file://" +
                     tempfile.mkdtemp()], {"SAL_USE_VCLPLUGIN": "gtk3"})
    # soffice is a launcher: the application on the bus is its child soffice.bin.
    app = application(process.pid, 120, "soffice")
    field = wait_for(lambda: walk(app, lambda e: e.get_role() == Atspi.Role.PARAGRAPH and
                                  e.get_state_set().contains(Atspi.StateType.EDITABLE)), 60, 0.5)
    row = measure("LibreOffice Writer paragraph", app.get_process_id(), field)
    process.kill()
    return [row]


bodies = [("test windows", test_windows)]
bodies += [("editors", lambda editor_=editor_: editor(*editor_)) for editor_ in EDITORS]
bodies += [("firefox", firefox), ("writer", writer)]
for name, body in bodies:
    if len(sys.argv) > 3 and name not in sys.argv[3:]:
        continue
    attempt(name, body)

columns = ["target", "toolkit", "at caret", "exact", "selection", "undo direct", "undo paste", "limit", "direct ms",
           "paste ms"]
print("| " + " | ".join(columns) + " |")
print("|" + "---|" * len(columns))
for row in rows:
    print("| " + " | ".join(str(row.get(column, "")) for column in columns) + " |")
