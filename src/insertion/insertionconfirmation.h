#pragma once

#include "insertion/accessibilitybackend.h"

#include <QString>

#include <optional>

// The state of a focused text element before or after the paste.
struct EditorSnapshot {
    std::optional<QString> value;
    std::optional<TextRange> selectedRange;

    friend bool operator==(const EditorSnapshot &, const EditorSnapshot &) = default;
};

// Whether a text arrived, by what the focused field shows before and after; it reads nothing itself.
namespace InsertionConfirmation {

// Whether the focused field shows signs of the pasted text; lengths in UTF-16 code units.
bool insertionWasConfirmed(
    const QString &text, const std::optional<EditorSnapshot> &before, const std::optional<EditorSnapshot> &after);
// Whether `after` is `before` with exactly `text` inserted at one place.
bool insertedExactly(const QString &before, const QString &after, const QString &text);

} // namespace InsertionConfirmation
