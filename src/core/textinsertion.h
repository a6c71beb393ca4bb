#pragma once

#include <QRectF>
#include <QString>

#include <memory>
#include <optional>

// An accessibility element held by the backend that produced it; opaque to
// everyone else. Backends subclass it to carry their own handle.
class AccessibleElement {
public:
    virtual ~AccessibleElement() = default;
};
using AccessibleElementRef = std::shared_ptr<const AccessibleElement>;

// What a window looked like when it was captured; every field may be unknown.
struct WindowFingerprint {
    // The window system's id of the window: the X11 window, or the Wayland compositor's toplevel.
    std::optional<qint64> windowId;
    std::optional<QString> role;
    std::optional<QString> identifier;
    std::optional<QString> title;
    std::optional<QRectF> frame;
};

// Where a dictated text must go, captured when the dictation starts.
struct TextInsertionTarget {
    qint32 applicationPID = 0;
    AccessibleElementRef window;
    WindowFingerprint windowFingerprint;
    std::optional<QString> pageIdentity;
    AccessibleElementRef focusedElement;
    // Only the window is known: the application is not on the accessibility bus,
    // so nothing inside the window can be read.
    bool windowLevel = false;
};

struct TextInsertionOutcome {
    enum class Kind { inserted, needsAccessibilityPermission, unconfirmed, targetChanged };

    Kind kind = Kind::unconfirmed;
    // For targetChanged; for unconfirmed, where set, what kept the text instead of the usual words.
    QString reason;

    static TextInsertionOutcome inserted() { return { Kind::inserted, {} }; }
    static TextInsertionOutcome needsAccessibilityPermission() { return { Kind::needsAccessibilityPermission, {} }; }
    static TextInsertionOutcome unconfirmed(QString reason = {}) { return { Kind::unconfirmed, std::move(reason) }; }
    static TextInsertionOutcome targetChanged(QString reason) { return { Kind::targetChanged, std::move(reason) }; }

    friend bool operator==(const TextInsertionOutcome &, const TextInsertionOutcome &) = default;
};
