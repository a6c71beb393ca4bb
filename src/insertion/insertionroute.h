#pragma once

#include "insertion/insertionconfirmation.h"
#include "insertion/keystrokesender.h"

#include <QString>

#include <optional>

// Which way a dictated text goes into the focused field, decided from what the look before the
// paste read of the field and what the keystroke's way says of itself; it reads nothing itself.
namespace InsertionRoute {

struct Facts {
    std::optional<bool> focusTakesText;
    // The shortcut a terminal pastes with; nothing for anything else.
    std::optional<PasteShortcut> terminal;
    std::optional<EditorSnapshot> editor;
    std::optional<QString> toolkit;
    std::optional<QString> role;
    // Whether a keystroke sent the keystroke's way can arrive in the target's window.
    bool keystrokeReaches = false;
    // The keystroke's way is for fields that cannot take the text straight only.
    bool keystrokesOnlyWithoutDirectInsertion = false;
};

enum class Start {
    // The focus takes no text: a keystroke into it is lost.
    keep,
    // No keystroke gets there, and the field cannot take the text straight.
    noKeystroke,
    // Straight over the accessibility bus; the paste only where that left the field as it was.
    direct,
    paste,
};

struct Decision {
    Start start = Start::keep;
    // Whether the text goes in straight where the paste's keystroke could not be sent.
    bool directWhenUnsent = false;
};

Decision choose(const Facts &facts);

// Whether the text goes in over the accessibility bus before any paste is tried: where the
// toolkit's own insert lands at the caret as one undo step (GTK, and LibreOffice on GTK) and
// no selection waits to be replaced by it. Qt's bypasses validators and undo, Gecko's does
// not arrive: there the paste comes first, and the direct insert only where no keystroke went.
// A password field reads back as bullets, so nothing could confirm the text there.
bool insertsDirectlyFirst(
    const std::optional<QString> &toolkit, const std::optional<QString> &role, const EditorSnapshot &editor);

// The shortcut a terminal named in `names` pastes by; nothing where none is a known terminal. The
// names are a program's or a window class's, one a line, each with or without a path.
std::optional<PasteShortcut> terminalShortcutByName(const std::optional<QString> &names);

} // namespace InsertionRoute
