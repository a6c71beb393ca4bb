#include "insertion/x11/xtestkeystrokesender.h"

#include "core/logging.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <vector>

XTestKeystrokeSender::XTestKeystrokeSender()
{
    // A connection of our own: the keystroke does not depend on which platform Qt runs on.
    m_display = XOpenDisplay(nullptr);
    if (!m_display) {
        qCWarning(lcInsertion) << "no X display: XTest paste unavailable";
        return;
    }
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    m_hasXTest = XTestQueryExtension(m_display, &eventBase, &errorBase, &major, &minor);
    if (!m_hasXTest)
        qCWarning(lcInsertion) << "the X server has no XTest extension";
}

XTestKeystrokeSender::~XTestKeystrokeSender()
{
    if (m_display)
        XCloseDisplay(m_display);
}

bool XTestKeystrokeSender::sendPaste(PasteShortcut shortcut)
{
    if (!m_display || !m_hasXTest)
        return false;
    const KeyCode control = XKeysymToKeycode(m_display, XK_Control_L);
    const KeyCode shift = XKeysymToKeycode(m_display, XK_Shift_L);
    const KeyCode key = XKeysymToKeycode(m_display, shortcut == PasteShortcut::shiftInsert ? XK_Insert : XK_v);
    std::vector<KeyCode> modifiers;
    if (shortcut != PasteShortcut::shiftInsert)
        modifiers.push_back(control);
    if (shortcut != PasteShortcut::controlV)
        modifiers.push_back(shift);
    if (!key || std::find(modifiers.begin(), modifiers.end(), KeyCode(0)) != modifiers.end())
        return false;

    for (KeyCode modifier : modifiers)
        XTestFakeKeyEvent(m_display, modifier, True, CurrentTime);
    XTestFakeKeyEvent(m_display, key, True, CurrentTime);
    XTestFakeKeyEvent(m_display, key, False, CurrentTime);
    for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it)
        XTestFakeKeyEvent(m_display, *it, False, CurrentTime);
    XSync(m_display, False);
    return true;
}
