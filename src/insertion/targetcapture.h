#pragma once

#include "core/textinsertion.h"
#include "insertion/accessibilitybackend.h"

#include <QRectF>
#include <QString>

#include <optional>

// Remembers where a text must go and decides whether that place is unchanged.
// Every rule reads the platform only through the accessibility backend.
class TargetCapture {
public:
    // The reasons of the unchanged-target test, in the order it checks them.
    static const QString noStoredTargetReason;
    static const QString noCurrentWindowReason;
    static const QString otherApplicationReason;
    static const QString otherPageReason;
    static const QString otherWindowReason;
    // Why a text for a window whose inside cannot be read was kept.
    static const QString noTextFieldReason;

    static constexpr int pageIdentitySearchDepth = 20;
    static constexpr double frameTolerance = 24.0;

    explicit TargetCapture(AccessibilityBackend &backend);

    // The frontmost application other than this program, its focused window and
    // focused element; nothing without permission or without a focused window.
    // An application the accessibility bus does not know gets a window-level target.
    std::optional<TextInsertionTarget> captureTarget();
    WindowFingerprint fingerprint(const AccessibleElementRef &window);
    // "url:…" or "document:…" from the nearest of at most 20 elements up the parent chain;
    // where none has either, "tab:…" or "frame:…", the identity of the nearest page tab,
    // else of the nearest document: another tab of the same window is another page.
    std::optional<QString> pageIdentity(const AccessibleElementRef &element);
    // A window-level target matches only the same window id with a title that does not conflict.
    bool windowsMatch(const TextInsertionTarget &stored, const TextInsertionTarget &current);
    // The reason the target counts as changed, or nothing when it is unchanged.
    std::optional<QString> changeReason(
        const std::optional<TextInsertionTarget> &stored, const std::optional<TextInsertionTarget> &fresh);

    static bool titlesDoNotConflict(const std::optional<QString> &a, const std::optional<QString> &b);
    static bool approximatelyEqual(const QRectF &a, const QRectF &b);

private:
    AccessibilityBackend &m_backend;
};
