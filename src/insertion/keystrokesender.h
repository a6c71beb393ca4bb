#pragma once

#include "core/textinsertion.h"

#include <linux/input-event-codes.h>

#include <cstdint>
#include <vector>

// Shift+Insert pastes the primary selection in the terminals that bind no key to the clipboard.
enum class PasteShortcut { controlV, controlShiftV, shiftInsert };

// The shortcut as Linux input event codes, the modifiers first and the key last: what every
// sender that types key codes presses in this order and releases in reverse. Key codes, not
// symbols, so the paste works in any keyboard layout.
inline std::vector<uint32_t> pasteKeyCodes(PasteShortcut shortcut)
{
    std::vector<uint32_t> codes;
    if (shortcut != PasteShortcut::shiftInsert)
        codes.push_back(KEY_LEFTCTRL);
    if (shortcut != PasteShortcut::controlV)
        codes.push_back(KEY_LEFTSHIFT);
    codes.push_back(shortcut == PasteShortcut::shiftInsert ? KEY_INSERT : KEY_V);
    return codes;
}

// Sends the paste shortcut to whatever has the keyboard focus.
class AbstractKeystrokeSender {
public:
    virtual ~AbstractKeystrokeSender() = default;
    // False when no part of the keystroke went out, so that no paste can follow.
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
    // A way in for fields that cannot take the text straight only: every field that can goes first
    // over the accessibility bus, whatever its toolkit.
    virtual bool forFieldsWithoutDirectInsertion() const { return false; }
};
