#pragma once

#include "core/textinsertion.h"

#include <QDeadlineTimer>
#include <QPointF>
#include <QSizeF>
#include <QString>
#include <QUrl>

#include <optional>
#include <variant>

// A text range in UTF-16 code units, the unit QString counts in.
struct TextRange {
    qint64 location = 0;
    qint64 length = 0;

    friend bool operator==(const TextRange &, const TextRange &) = default;
};

// The attributes the insertion rules read; a backend maps each to what its
// platform offers and fails the read where it has no equivalent.
enum class AccessibilityAttribute {
    focusedWindow, // of an application element
    focusedElement, // of an application element
    windowId, // the window system's id of a window: the X11 window, or the compositor's toplevel
    role,
    identifier,
    title,
    position,
    size,
    url,
    document,
    parent,
    value,
    selectedTextRange,
    editable, // 1 when the element takes typed text, 0 when it does not
    objectIdentity, // what names this very object for as long as it lives, whatever it shows
    windowClass, // of a window: the names the window system knows its program by, one a line
    toolkit, // the name the element's application gives its toolkit: "Qt", "gtk", "Gecko"
};

// What one attribute read yields. std::monostate is a failed read of any kind.
using AttributeValue
    = std::variant<std::monostate, AccessibleElementRef, QString, qint64, QUrl, QPointF, QSizeF, TextRange>;

// The platform's accessibility API, reduced to the operations the insertion rules need.
class AccessibilityBackend {
public:
    virtual ~AccessibilityBackend() = default;

    // Whether the accessibility bus is reachable and switched on; nothing can be read without it.
    virtual bool isBusEnabled() = 0;
    // Asks for the bus to be switched on (and where possible switches it on); the answer is not awaited.
    virtual void enableBus() = 0;
    // The process that has the keyboard focus, if any.
    virtual std::optional<qint32> frontmostProcessIdentifier() = 0;
    virtual qint32 ownProcessIdentifier() = 0;
    virtual AccessibleElementRef applicationElement(qint32 processIdentifier) = 0;
    virtual AttributeValue attribute(const AccessibleElementRef &element, AccessibilityAttribute name) = 0;
    virtual bool isSameObject(const AccessibleElementRef &a, const AccessibleElementRef &b) = 0;
    // Inserts the text at the element's caret without the clipboard; false where the element
    // cannot take it so. Whether it arrived is for the caller to read back.
    virtual bool insertText(const AccessibleElementRef &element, const QString &text)
    {
        Q_UNUSED(element)
        Q_UNUSED(text)
        return false;
    }
    // For a process the accessibility bus does not know: its window in front as the window
    // system sees it, whose number, title and class read as attributes; nothing without one.
    virtual AccessibleElementRef frontWindow(qint32 processIdentifier)
    {
        Q_UNUSED(processIdentifier)
        return nullptr;
    }
    // Once the deadline has passed, calls to other applications fail at once instead of being made.
    virtual void setDeadline(QDeadlineTimer deadline) { Q_UNUSED(deadline) }
};

// Attribute readers: each yields an absent value on every failure, including a
// value of the wrong type. None reports an error.
AccessibleElementRef elementAttribute(
    AccessibilityBackend &backend, const AccessibleElementRef &element, AccessibilityAttribute name);
std::optional<qint64> integerAttribute(
    AccessibilityBackend &backend, const AccessibleElementRef &element, AccessibilityAttribute name);
std::optional<QString> textAttribute(
    AccessibilityBackend &backend, const AccessibleElementRef &element, AccessibilityAttribute name);
std::optional<QPointF> pointAttribute(
    AccessibilityBackend &backend, const AccessibleElementRef &element, AccessibilityAttribute name);
std::optional<QSizeF> sizeAttribute(
    AccessibilityBackend &backend, const AccessibleElementRef &element, AccessibilityAttribute name);
std::optional<TextRange> rangeAttribute(
    AccessibilityBackend &backend, const AccessibleElementRef &element, AccessibilityAttribute name);
// A string trimmed of white space (absent when nothing is left) or a URL's
// absolute form, untrimmed; anything else is absent.
std::optional<QString> stringOrURLAttribute(
    AccessibilityBackend &backend, const AccessibleElementRef &element, AccessibilityAttribute name);
