#include "insertion/atspi/atspiaccessibilitybackend.h"

#include "insertion/atspi/atspicalls.h"
#include "insertion/atspi/atspiconnection.h"
#include "insertion/atspi/atspidirectinsertion.h"
#include "insertion/atspi/atspireadback.h"
#include "insertion/atspi/atspitargetidentity.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

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
    AtspiConnection connection { calls };
    AtspiTargetIdentity identity { calls, reads, connection };
};

AtspiAccessibilityBackend::AtspiAccessibilityBackend(AbstractAccessibilityPermission &permission)
    : d(std::make_unique<Private>(permission))
{
}

AtspiAccessibilityBackend::~AtspiAccessibilityBackend() = default;

bool AtspiAccessibilityBackend::connectToBus()
{
    if (d->connection.isConnected())
        return true;
    // A bounded check first: libatspi's own look-up of the bus may block for long.
    if (!d->permission.isBusEnabled())
        return false;
    return d->connection.connect();
}

bool AtspiAccessibilityBackend::isBusEnabled()
{
    if (!connectToBus())
        return false;
    DBusConnection *bus = atspi_get_a11y_bus();
    return bus && dbus_connection_get_is_connected(bus) && d->permission.isBusEnabled();
}

void AtspiAccessibilityBackend::enableBus() { d->permission.enableBus(); }

std::optional<qint32> AtspiAccessibilityBackend::frontmostProcessIdentifier()
{
    if (!d->connection.isConnected())
        return std::nullopt;
    return d->identity.frontmostProcess();
}

qint32 AtspiAccessibilityBackend::ownProcessIdentifier() { return qint32(QCoreApplication::applicationPid()); }

AccessibleElementRef AtspiAccessibilityBackend::applicationElement(qint32 processIdentifier)
{
    if (!d->connection.isConnected())
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
        case AccessibilityAttribute::windowId:
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
        case AccessibilityAttribute::windowId:
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
    case AccessibilityAttribute::focusedElement:
        return element->isApplication() ? elementValue(d->identity.focusedElement(*element)) : AttributeValue {};
    case AccessibilityAttribute::windowId:
        return value(d->identity.windowId(*element));
    case AccessibilityAttribute::role:
        return value(d->reads.text(*element, atspi_accessible_get_role_name));
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
