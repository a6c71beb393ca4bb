#pragma once

#include "core/abstractaccessibilitypermission.h"
#include "insertion/accessibilitybackend.h"

#include <chrono>
#include <memory>

// The accessibility backend over the AT-SPI bus (libatspi). All of its calls
// must come from one thread, which connects on the first and then dispatches
// AT-SPI's events in its own GLib main context. The frontmost
// application is the owner of the X server's window in front, else the one
// whose window is ACTIVE; its focused element is the last one focus events
// named, checked against the FOCUSED state. A program not on the bus still
// has its X11 window as a window-level target.
//
// Every call to another application has a time-out, and an application that
// let one run out is left alone for a few seconds, so a hung program costs a
// capture at most one time-out instead of freezing this one.
class AtspiAccessibilityBackend final : public AccessibilityBackend {
public:
    explicit AtspiAccessibilityBackend(AbstractAccessibilityPermission &permission);
    ~AtspiAccessibilityBackend() override;
    AtspiAccessibilityBackend(const AtspiAccessibilityBackend &) = delete;
    AtspiAccessibilityBackend &operator=(const AtspiAccessibilityBackend &) = delete;

    bool isBusEnabled() override;
    void enableBus() override;
    std::optional<qint32> frontmostProcessIdentifier() override;
    qint32 ownProcessIdentifier() override;
    AccessibleElementRef applicationElement(qint32 processIdentifier) override;
    AttributeValue attribute(const AccessibleElementRef &element, AccessibilityAttribute name) override;
    bool isSameObject(const AccessibleElementRef &a, const AccessibleElementRef &b) override;
    AccessibleElementRef frontWindow(qint32 processIdentifier) override;
    bool insertText(const AccessibleElementRef &element, const QString &text) override;
    void setDeadline(QDeadlineTimer deadline) override;

    // How long the AT-SPI calls of this object took in total; for measurements.
    std::chrono::nanoseconds timeInCalls() const;

    class Private;

private:
    // Connects once the accessibility bus is there; false while it is not.
    bool connectToBus();

    std::unique_ptr<Private> d;
};
