#pragma once

#include "insertion/keystrokesender.h"

#include <QString>

#include <memory>

class WaylandClipboard;
class WaylandConnection;

// The paste shortcut through KWin's fake input (KDE Plasma, which offers no virtual keyboard).
// KWin offers it only to a program whose installed .desktop file lists
// X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input with the program's own path in Exec. The keys
// go through the user's own keyboard layout as key codes, so Ctrl+V is the key V in any layout.
class FakeInputKeystrokeSender final : public AbstractKeystrokeSender {
public:
    // The paste reads what `clipboard` wrote; without it the keystroke would paste something else.
    FakeInputKeystrokeSender(WaylandConnection &connection, const WaylandClipboard &clipboard);
    ~FakeInputKeystrokeSender() override;
    FakeInputKeystrokeSender(const FakeInputKeystrokeSender &) = delete;
    FakeInputKeystrokeSender &operator=(const FakeInputKeystrokeSender &) = delete;

    // Whether KWin granted this program its fake input.
    bool isAvailable() const;
    // The compositor is KWin and did not grant it: no other keystroke path is as good there.
    bool grantMissing() const { return m_grantMissing; }

    bool sendPaste(PasteShortcut shortcut) override;
    bool reaches(const TextInsertionTarget &target) const override;
    // Where the grant is missing, that it is, and the first time how to give it.
    QString unavailableReason() override;

    static const QString grantMissingReason;
    static const QString grantHint;

    struct State;

private:
    WaylandConnection &m_connection;
    const WaylandClipboard &m_clipboard;
    std::shared_ptr<State> m_state;
    bool m_grantMissing = false;
    bool m_hinted = false;
};
