#pragma once

#include "insertion/keystrokesender.h"

#include <memory>

class WaylandClipboard;
class WaylandConnection;

// The paste shortcut through one virtual keyboard kept for the whole session: a keyboard made
// at the moment of the paste may lose its first key, so it is made, with its keymap, at start.
// The keymap has keys of its own for Control, Shift, V and Insert, whatever the user's layout.
class WaylandKeystrokeSender final : public AbstractKeystrokeSender {
public:
    // The paste reads what `clipboard` wrote; without it the keystroke would paste something else.
    WaylandKeystrokeSender(WaylandConnection &connection, const WaylandClipboard &clipboard);
    ~WaylandKeystrokeSender() override;
    WaylandKeystrokeSender(const WaylandKeystrokeSender &) = delete;
    WaylandKeystrokeSender &operator=(const WaylandKeystrokeSender &) = delete;

    // Whether the compositor gave this program a virtual keyboard.
    bool isAvailable() const;

    bool sendPaste(PasteShortcut shortcut) override;
    bool reaches(const TextInsertionTarget &target) const override;

    struct State;

private:
    WaylandConnection &m_connection;
    const WaylandClipboard &m_clipboard;
    std::shared_ptr<State> m_state;
};
