#pragma once

#include "insertion/atspi/atspielement.h"
#include "insertion/x11/x11windowresolver.h"
#include "platform/wayland/activewindowsource.h"

#include <QHash>
#include <QMetaObject>

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

class AtspiCalls;
class AtspiConnection;
class AtspiReadBack;

// Which application is in front, its window and focused element, and what names that window:
// its number and class, from the X server or, in a Wayland session, the compositor.
class AtspiTargetIdentity {
public:
    AtspiTargetIdentity(AtspiCalls &calls, AtspiReadBack &reads, AtspiConnection &events);
    ~AtspiTargetIdentity();
    AtspiTargetIdentity(const AtspiTargetIdentity &) = delete;
    AtspiTargetIdentity &operator=(const AtspiTargetIdentity &) = delete;

    // Only once connected to the bus.
    std::optional<qint32> frontmostProcess();
    ElementPtr applicationElement(qint32 processIdentifier);
    AccessibleElementRef frontWindow(qint32 processIdentifier);

    ElementPtr activeWindow(const AtspiElement &application);
    ElementPtr focusedElement(const AtspiElement &application);
    std::optional<QString> toolkitOf(const AtspiElement &element);
    std::optional<qint64> windowId(const AtspiElement &window);
    std::optional<ActiveWindowSource::Window> compositorFront() const;
    std::optional<QString> windowClass(const AccessibleElement &element);
    std::optional<QString> x11WindowTitle(qint64 window);

private:
    std::vector<ElementPtr> applications();
    ElementPtr applicationOfWindow(const AtspiElement &window);

    AtspiCalls &calls;
    AtspiReadBack &reads;
    AtspiConnection &events;
    X11WindowResolver windows;
    // In a Wayland session the compositor's word on the window in front stands in for the X server's.
    std::unique_ptr<ActiveWindowSource> toplevels = ActiveWindowSource::forSession();
    // Kept by the main thread, where Qt's windows live, and read here.
    std::shared_ptr<std::atomic<bool>> ownWindowFocused = std::make_shared<std::atomic<bool>>(false);
    QMetaObject::Connection focusConnection;
    std::optional<X11WindowResolver::TopLevel> lastFront;
    ElementPtr frontmostApplication;
    QHash<QString, QString> toolkitByBusName;
};
