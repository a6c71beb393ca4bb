#include "atspiaccessibilitybackend.h"

#include "activewindowsource.h"
#include "atspicalls.h"
#include "atspielement.h"
#include "atspieventthread.h"
#include "atspireadback.h"
#include "x11windowresolver.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QHash>
#include <QMetaObject>
#include <QString>
#include <QWindow>

#include <algorithm>
#include <atomic>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

// Which application is in front, its window and focused element, and what names that window:
// its number and class, from the X server or, in a Wayland session, the compositor.
class AtspiTargetIdentity {
public:
    AtspiTargetIdentity(AtspiCalls &calls, AtspiReadBack &reads, AtspiEventThread &events);
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
    std::optional<qint64> windowNumber(const AtspiElement &window);
    std::optional<ActiveWindowSource::Window> compositorFront() const;
    std::optional<QString> windowClass(const AccessibleElement &element);
    std::optional<QString> x11WindowTitle(qint64 window);

private:
    std::vector<ElementPtr> applications();
    ElementPtr applicationOfWindow(const AtspiElement &window);

    AtspiCalls &calls;
    AtspiReadBack &reads;
    AtspiEventThread &events;
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

// Puts the text at the caret of an editable element through its EditableText interface, with
// the length counted the way `toolkit` counts it; true once the element said it took the text.
bool insertAtCaret(AtspiCalls &calls, const AtspiElement &element, const QString &toolkit, const QString &text);

namespace {

// Up to this many elements are searched for the focused one when no focus event named it.
constexpr int focusSearchLimit = 300;

} // namespace

AtspiTargetIdentity::AtspiTargetIdentity(AtspiCalls &calls, AtspiReadBack &reads, AtspiEventThread &events)
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
        result.push_back(share(child->accessible(), true));
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
        return share(app->root, true);
    return adopt(calls.call(window,
                     [&](GError **error) { return atspi_accessible_get_application(window.accessible(), error); }),
        true);
}

ElementPtr AtspiTargetIdentity::focusedElement(const AtspiElement &application)
{
    if (ElementPtr tracked = events.focusedByApplication.value(application.busName())) {
        if (calls.hasState(*tracked, ATSPI_STATE_FOCUSED))
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

std::optional<qint64> AtspiTargetIdentity::windowNumber(const AtspiElement &window)
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
        number = windowNumber(*atspi);
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

bool insertAtCaret(AtspiCalls &calls, const AtspiElement &element, const QString &toolkit, const QString &text)
{
    // The length argument is counted in UTF-16 units by Qt and in bytes by the ATK toolkits (GTK and others).
    const bool qt = toolkit.compare(u"Qt", Qt::CaseInsensitive) == 0;
    const QByteArray utf8 = text.toUtf8();
    const gint length = gint(qt ? text.size() : utf8.size());
    return calls.call(element, [&](GError **error) {
        AtspiEditableText *editable = atspi_accessible_get_editable_text_iface(element.accessible());
        AtspiText *readable = atspi_accessible_get_text_iface(element.accessible());
        bool inserted = false;
        if (editable && readable) {
            // The caret comes in the toolkit's own unit and goes back in it.
            const gint caret = atspi_text_get_caret_offset(readable, nullptr);
            inserted = atspi_editable_text_insert_text(editable, std::max(caret, 0), utf8.constData(), length, error);
        }
        if (editable)
            g_object_unref(editable);
        if (readable)
            g_object_unref(readable);
        return inserted;
    });
}

// Each part is declared after those it uses, so it goes before them: the watch on our own
// windows' focus ends first, then the event listener.
class AtspiAccessibilityBackend::Private {
public:
    explicit Private(AbstractAccessibilityPermission &permission)
        : permission(permission)
    {
    }

    AbstractAccessibilityPermission &permission;
    AtspiCalls calls;
    AtspiReadBack reads { calls };
    AtspiEventThread events { calls };
    AtspiTargetIdentity identity { calls, reads, events };
};

AtspiAccessibilityBackend::AtspiAccessibilityBackend(AbstractAccessibilityPermission &permission)
    : d(std::make_unique<Private>(permission))
{
}

AtspiAccessibilityBackend::~AtspiAccessibilityBackend() = default;

bool AtspiAccessibilityBackend::connectToBus()
{
    if (d->events.isConnected())
        return true;
    // A bounded check first: libatspi's own look-up of the bus may block for long.
    if (!d->permission.isTrusted())
        return false;
    return d->events.connect();
}

bool AtspiAccessibilityBackend::isTrusted()
{
    if (!connectToBus())
        return false;
    DBusConnection *bus = atspi_get_a11y_bus();
    return bus && dbus_connection_get_is_connected(bus) && d->permission.isTrusted();
}

void AtspiAccessibilityBackend::requestTrust() { d->permission.requestTrust(); }

std::optional<qint32> AtspiAccessibilityBackend::frontmostProcessIdentifier()
{
    if (!d->events.isConnected())
        return std::nullopt;
    return d->identity.frontmostProcess();
}

qint32 AtspiAccessibilityBackend::ownProcessIdentifier() { return qint32(QCoreApplication::applicationPid()); }

AccessibleElementRef AtspiAccessibilityBackend::applicationElement(qint32 processIdentifier)
{
    if (!d->events.isConnected())
        return nullptr;
    return d->identity.applicationElement(processIdentifier);
}

bool AtspiAccessibilityBackend::insertText(const AccessibleElementRef &reference, const QString &text)
{
    const AtspiElement *element = atspi(reference);
    if (!element || text.isEmpty())
        return false;
    const std::optional<QString> toolkit = d->identity.toolkitOf(*element);
    if (!toolkit)
        return false;
    return insertAtCaret(d->calls, *element, *toolkit, text);
}

AccessibleElementRef AtspiAccessibilityBackend::frontWindow(qint32 processIdentifier)
{
    return d->identity.frontWindow(processIdentifier);
}

AttributeValue AtspiAccessibilityBackend::attribute(const AccessibleElementRef &reference, AccessibilityAttribute name)
{
    auto value = [](auto optional) -> AttributeValue {
        if (optional)
            return *optional;
        return {};
    };
    if (const auto *window = dynamic_cast<const X11WindowElement *>(reference.get())) {
        switch (name) {
        case AccessibilityAttribute::windowNumber:
            return window->id;
        case AccessibilityAttribute::title:
            return value(d->identity.x11WindowTitle(window->id));
        case AccessibilityAttribute::windowClass:
            return value(d->identity.windowClass(*window));
        default:
            return {};
        }
    }
    if (const auto *window = dynamic_cast<const CompositorWindowElement *>(reference.get())) {
        const std::optional<ActiveWindowSource::Window> front = d->identity.compositorFront();
        switch (name) {
        case AccessibilityAttribute::windowNumber:
            return window->id;
        case AccessibilityAttribute::title:
            return front && front->id == window->id ? AttributeValue(front->title) : AttributeValue {};
        case AccessibilityAttribute::windowClass:
            return value(d->identity.windowClass(*window));
        default:
            return {};
        }
    }
    const AtspiElement *element = atspi(reference);
    if (!element)
        return {};
    auto elementValue = [](ElementPtr found) -> AttributeValue {
        if (found)
            return AccessibleElementRef(std::move(found));
        return {};
    };

    switch (name) {
    case AccessibilityAttribute::focusedWindow:
        return element->isApplication() ? elementValue(d->identity.activeWindow(*element)) : AttributeValue {};
    case AccessibilityAttribute::focusedUIElement:
        return element->isApplication() ? elementValue(d->identity.focusedElement(*element)) : AttributeValue {};
    case AccessibilityAttribute::windowNumber:
        return value(d->identity.windowNumber(*element));
    case AccessibilityAttribute::role:
        return value(d->reads.text(*element, atspi_accessible_get_role_name));
    case AccessibilityAttribute::subrole:
        return {};
    case AccessibilityAttribute::identifier:
        return value(d->reads.text(*element, atspi_accessible_get_accessible_id));
    case AccessibilityAttribute::title:
        return value(d->reads.text(*element, atspi_accessible_get_name));
    case AccessibilityAttribute::position:
        if (std::optional<QRectF> rect = d->reads.extents(*element))
            return rect->topLeft();
        return {};
    case AccessibilityAttribute::size:
        if (std::optional<QRectF> rect = d->reads.extents(*element))
            return rect->size();
        return {};
    case AccessibilityAttribute::url:
        if (std::optional<QString> url = d->reads.documentAttribute(*element, "DocURL")) {
            const QUrl parsed(*url, QUrl::StrictMode);
            if (parsed.isValid() && !parsed.isRelative())
                return parsed;
            return *url;
        }
        return {};
    case AccessibilityAttribute::document:
        return value(d->reads.documentAttribute(*element, "URI"));
    case AccessibilityAttribute::parent:
        return elementValue(adopt(d->calls.call(
            *element, [&](GError **error) { return atspi_accessible_get_parent(element->accessible(), error); })));
    case AccessibilityAttribute::value:
        return value(d->reads.wholeText(*element));
    case AccessibilityAttribute::selectedTextRange:
        return value(d->reads.selectedRange(*element));
    case AccessibilityAttribute::objectIdentity:
        return element->busName() + u'\n' + element->path();
    case AccessibilityAttribute::editable:
        if (!d->calls.mayCall(*element))
            return {};
        return qint64(d->calls.hasState(*element, ATSPI_STATE_EDITABLE));
    case AccessibilityAttribute::windowClass:
        return value(d->identity.windowClass(*element));
    case AccessibilityAttribute::toolkit:
        return value(d->identity.toolkitOf(*element));
    }
    return {};
}

bool AtspiAccessibilityBackend::isSameObject(const AccessibleElementRef &a, const AccessibleElementRef &b)
{
    const auto *firstWindow = dynamic_cast<const X11WindowElement *>(a.get());
    const auto *secondWindow = dynamic_cast<const X11WindowElement *>(b.get());
    if (firstWindow || secondWindow)
        return firstWindow && secondWindow && firstWindow->id == secondWindow->id;
    const auto *firstCompositorWindow = dynamic_cast<const CompositorWindowElement *>(a.get());
    const auto *secondCompositorWindow = dynamic_cast<const CompositorWindowElement *>(b.get());
    if (firstCompositorWindow || secondCompositorWindow)
        return firstCompositorWindow && secondCompositorWindow
            && firstCompositorWindow->id == secondCompositorWindow->id;
    const AtspiElement *first = atspi(a);
    const AtspiElement *second = atspi(b);
    return first && second && first->busName() == second->busName() && first->path() == second->path();
}

void AtspiAccessibilityBackend::setDeadline(QDeadlineTimer deadline) { d->calls.deadline = deadline; }

std::chrono::nanoseconds AtspiAccessibilityBackend::timeInCalls() const { return d->calls.timeInCalls; }
