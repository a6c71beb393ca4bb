#pragma once

#include "textinsertion.h"

// Shift+Insert pastes the primary selection in the terminals that bind no key to the clipboard.
enum class PasteShortcut { controlV, controlShiftV, shiftInsert };

// Sends the paste shortcut to whatever has the keyboard focus.
class AbstractKeystrokeSender {
public:
    virtual ~AbstractKeystrokeSender() = default;
    // False when the keystroke could not be sent.
    virtual bool sendPaste(PasteShortcut shortcut) = 0;
    // Whether a keystroke sent this way can arrive in the target's window.
    virtual bool reaches(const TextInsertionTarget &target) const
    {
        Q_UNUSED(target)
        return true;
    }
    // Why no keystroke goes out this way, for the words that keep the text; empty where one does
    // or the cause is unknown. How to fix it comes with the first answer only.
    virtual QString unavailableReason() { return {}; }
};
