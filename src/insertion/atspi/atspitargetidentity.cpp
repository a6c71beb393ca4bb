#include "insertion/atspi/atspitargetidentity.h"

#include "insertion/atspi/atspicalls.h"
#include "insertion/atspi/atspiconnection.h"
#include "insertion/atspi/atspireadback.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QWindow>

#include <deque>

namespace {

// Up to this many elements are searched for the focused one when no focus event named it.
constexpr int focusSearchLimit = 300;

} // namespace

AtspiTargetIdentity::AtspiTargetIdentity(AtspiCalls &calls, AtspiReadBack &reads, AtspiConnection &events)
    : calls(calls)
    , reads(reads)
    , events(events)
{
    if (qGuiApp) {
        ownWindowFocused->store(QGuiApplication::focusWindow() != nullptr);
        focusConnection = QObject::connect(qGuiApp, &QGuiApplication::focusWindowChanged,
            [focused = ownWindowFocused](QWindow *window) { focused->store(window != nullptr); });
    }
}

AtspiTargetIdentity::~AtspiTargetIdentity() { QObject::disconnect(focusConnection); }

std::optional<qint32> AtspiTargetIdentity::frontmostProcess()
{
    // The X server knows the window in front, also of programs the bus does not see; under
    // Wayland it knows only its X clients, and its focus may be stale.
    static const bool x11Session = qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    const auto front = lastFront = x11Session ? windows.frontWindow() : std::nullopt;
    std::optional<qint32> frontProcess = front ? front->processIdentifier : std::nullopt;
    // KWin names the process of its window in front; a list of toplevels does not.
    if (const auto compositor = compositorFront())
        frontProcess = compositor->processIdentifier;
    if (frontProcess) {
        // The application found for it last time is kept while it stays in front.
        if (frontmostApplication && calls.processOf(*frontmostApplication) != frontProcess)
            frontmostApplication.reset();
        return frontProcess;
    }
    frontmostApplication.reset();
    // One of our own windows has the focus; nothing of ours is asked over the bus.
    if (ownWindowFocused->load())
        return qint32(QCoreApplication::applicationPid());

    if (ElementPtr window = events.lastActivatedWindow; window && calls.hasState(*window, ATSPI_STATE_ACTIVE)) {
        if (ElementPtr application = applicationOfWindow(*window)) {
            if (std::optional<qint32> pid = calls.processOf(*application)) {
                frontmostApplication = std::move(application);
                return pid;
            }
        }
    }
    for (ElementPtr &application : applications()) {
        if (!calls.mayCall(*application))
            continue;
        if (ElementPtr window = activeWindow(*application)) {
            events.lastActivatedWindow = std::move(window);
            frontmostApplication = application;
            return calls.processOf(*application);
        }
    }
    return std::nullopt;
}

ElementPtr AtspiTargetIdentity::applicationElement(qint32 processIdentifier)
{
    if (frontmostApplication && calls.processOf(*frontmostApplication) == processIdentifier)
        return frontmostApplication;
    for (ElementPtr &application : applications()) {
        if (calls.processOf(*application) == processIdentifier) {
            frontmostApplication = application;
            return application;
        }
    }
    return nullptr;
}

AccessibleElementRef AtspiTargetIdentity::frontWindow(qint32 processIdentifier)
{
    if (const auto front = compositorFront(); front && front->processIdentifier) {
        if (front->processIdentifier != processIdentifier)
            return nullptr;
        return std::make_shared<const CompositorWindowElement>(front->id);
    }
    const auto front = lastFront = windows.frontWindow();
    if (!front || front->processIdentifier != processIdentifier)
        return nullptr;
    return std::make_shared<const X11WindowElement>(front->id);
}

ElementPtr AtspiTargetIdentity::activeWindow(const AtspiElement &application)
{
    for (ElementPtr &window : calls.children(application)) {
        if (calls.hasState(*window, ATSPI_STATE_ACTIVE))
            return window;
    }
    return nullptr;
}

std::vector<ElementPtr> AtspiTargetIdentity::applications()
{
    std::vector<ElementPtr> result;
    ElementPtr desktop = adopt(atspi_get_desktop(0));
    if (!desktop)
        return result;
    for (ElementPtr &child : calls.children(*desktop))
        result.push_back(share(child->accessible(), ElementKind::application));
    return result;
}

std::optional<QString> AtspiTargetIdentity::toolkitOf(const AtspiElement &element)
{
    const QString bus = element.busName();
    if (!toolkitByBusName.contains(bus)) {
        // Some toolkits name themselves only on their application object.
        const ElementPtr application = applicationOfWindow(element);
        const std::optional<QString> toolkit
            = application ? reads.text(*application, atspi_accessible_get_toolkit_name) : std::nullopt;
        if (!toolkit)
            return std::nullopt;
        toolkitByBusName.insert(bus, *toolkit);
    }
    return toolkitByBusName.value(bus);
}

ElementPtr AtspiTargetIdentity::applicationOfWindow(const AtspiElement &window)
{
    if (AtspiApplication *app = window.accessible()->parent.app; app && app->root)
        return share(app->root, ElementKind::application);
    return adopt(calls.call(window,
                     [&](GError **error) { return atspi_accessible_get_application(window.accessible(), error); }),
        ElementKind::application);
}

ElementPtr AtspiTargetIdentity::focusedElement(const AtspiElement &application)
{
    for (const QHash<QString, ElementPtr> *seen : { &events.focusedByApplication, &events.caretByApplication }) {
        if (ElementPtr tracked = seen->value(application.busName());
            tracked && calls.hasState(*tracked, ATSPI_STATE_FOCUSED))
            return tracked;
    }
    // No focus event seen for it (it may have had the focus before we started):
    // look for the focused element in the active window, within a bound.
    ElementPtr window = activeWindow(application);
    if (!window)
        return nullptr;
    std::deque<ElementPtr> queue { window };
    for (int visited = 0; !queue.empty() && visited < focusSearchLimit; ++visited) {
        ElementPtr element = std::move(queue.front());
        queue.pop_front();
        if (calls.hasState(*element, ATSPI_STATE_FOCUSED)) {
            events.focusedByApplication.insert(application.busName(), element);
            return element;
        }
        if (!calls.mayCall(*element))
            return nullptr;
        for (ElementPtr &child : calls.children(*element))
            queue.push_back(std::move(child));
    }
    // It was in front before we started; it may show its field at the next capture.
    events.greet(*window);
    return nullptr;
}

std::optional<qint64> AtspiTargetIdentity::windowId(const AtspiElement &window)
{
    const std::optional<qint32> pid = calls.processOf(window);
    if (!pid || !calls.mayCall(window))
        return std::nullopt;
    const std::optional<QString> title = reads.text(window, atspi_accessible_get_name);
    if (toplevels && toplevels->isAvailable())
        return toplevels->activeWindowId(title);
    return windows.windowId(*pid, title, reads.extents(window));
}

std::optional<ActiveWindowSource::Window> AtspiTargetIdentity::compositorFront() const
{
    return toplevels && toplevels->isAvailable() ? toplevels->activeWindow() : std::nullopt;
}

std::optional<QString> AtspiTargetIdentity::windowClass(const AccessibleElement &element)
{
    // A Wayland compositor names the application of the window in front by its app id; the
    // element asked about is that window whenever the class matters (the capture, the paste).
    if (toplevels && toplevels->isAvailable()) {
        const std::optional<ActiveWindowSource::Window> front = toplevels->activeWindow();
        if (!front || front->appId.isEmpty())
            return std::nullopt;
        return front->appId;
    }
    std::optional<qint64> number;
    if (const auto *x11 = dynamic_cast<const X11WindowElement *>(&element)) {
        number = x11->id;
    } else if (const auto *atspi = dynamic_cast<const AtspiElement *>(&element)) {
        // The window in front was just described when its process was looked up.
        if (lastFront && lastFront->processIdentifier && lastFront->processIdentifier == calls.processOf(*atspi)
            && !lastFront->windowClass.isEmpty())
            return lastFront->windowClass.join(u'\n');
        number = windowId(*atspi);
    }
    const std::optional<X11WindowResolver::TopLevel> window = number ? windows.describe(*number) : std::nullopt;
    if (!window || window->windowClass.isEmpty())
        return std::nullopt;
    return window->windowClass.join(u'\n');
}

std::optional<QString> AtspiTargetIdentity::x11WindowTitle(qint64 window)
{
    if (const auto described = windows.describe(window))
        return described->title;
    return std::nullopt;
}
