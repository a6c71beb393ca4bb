#pragma once

#include "core/textinsertion.h"
#include "insertion/accessibilitybackend.h"
#include "insertion/insertionconfirmation.h"
#include "insertion/keystrokesender.h"
#include "insertion/targetcapture.h"

#include <QString>

#include <optional>

// What one look at the target saw.
struct TargetLook {
    bool busEnabled = false;
    std::optional<TextInsertionTarget> target;
    std::optional<QString> changeReason;
    bool sameWindow = false;
    std::optional<EditorSnapshot> editor;
    std::optional<bool> focusTakesText;
    // The shortcut a terminal pastes with; nothing for anything else.
    std::optional<PasteShortcut> terminal;
    std::optional<QString> toolkit;
    std::optional<QString> role;
};

// How much a look reads: whether the focus is a terminal and takes text is read only for the
// decision before the paste; a confirmation look needs neither.
enum class LookDepth { decision, confirmation };

// The captured target and its focused field over the accessibility backend: looks at them, and
// puts a text straight into the field. Every call runs on the accessibility thread.
class FieldAccess {
public:
    // Why a field that the text went into straight shows something else than that text.
    static const QString fieldAlteredReason;
    // Why nothing went in where the focus moved to another field of the same window meanwhile.
    static const QString otherFieldReason;

    FieldAccess(AccessibilityBackend &backend, TargetCapture &capture);

    // Whether the bus is enabled and, with a stored target, a fresh capture compared with it and
    // the focused field's state.
    TargetLook look(const std::optional<TextInsertionTarget> &stored, LookDepth depth);
    // The text goes into the focused field over the accessibility bus, only while the focus is
    // still in the field of `decided` and in the captured target. Nothing when the field was left
    // as it was, so that a paste may still be tried.
    std::optional<TextInsertionOutcome> insertDirectly(
        const std::optional<TextInsertionTarget> &stored, const TargetLook &decided, const QString &text);

private:
    std::optional<EditorSnapshot> editorSnapshot(const TextInsertionTarget &capture);
    // A terminal by the focus's role, an ancestor's role, the application's name or the window's
    // class, with the shortcut it pastes by; nothing for anything else.
    std::optional<PasteShortcut> terminalShortcut(const TextInsertionTarget &capture);
    // Whether the focused element takes text: editable or in a terminal; nothing when unknown.
    std::optional<bool> takesText(const TextInsertionTarget &capture);

    AccessibilityBackend &m_backend;
    TargetCapture &m_capture;
};
