#pragma once

#include "insertion/keystrokesender.h"
#include "platform/clipboard.h"

#include <functional>
#include <memory>

class WaylandConnection;

// The clipboard and the paste keystroke of the session Qt runs in.
struct PastePath {
    // Serves the two below on Wayland; declared first, so destroyed after them.
    std::shared_ptr<WaylandConnection> connection;
    std::unique_ptr<AbstractClipboard> clipboard;
    std::unique_ptr<AbstractKeystrokeSender> keystrokes;
    // Where keystrokes can go only through the desktop's remote-desktop portal (GNOME): turns that
    // path on or off as the user chooses. Empty elsewhere.
    std::function<void(bool)> setRemoteDesktopPaste;
};

// On X11 Qt's clipboard and XTest. On Wayland data control and a virtual keyboard where the
// compositor offers them, else KWin's fake input where it granted it, a uinput keyboard as the last
// resort beside data control. Without data control (GNOME) the Xwayland clipboard and the
// RemoteDesktop portal where the user turned that on, and no keystroke otherwise.
PastePath makePastePath();
