#include "insertion/atspi/atspiconnection.h"

#include "insertion/atspi/atspicalls.h"

#include <atomic>
#include <utility>

namespace {

// The main context of the thread that connected to AT-SPI last; libatspi is not thread-safe, so
// everything of it happens on the thread that iterates this context. Written only by
// connect() on that thread; read there by libatspi's calls into the function below, and on
// any thread by an element dropping its reference: atomic for that. A context once stored is held
// for good, so a reader never sees one that was freed.
std::atomic<GMainContext *> atspiContext { nullptr };

} // namespace

GMainContext *atspiMainContext() { return atspiContext.load(); }

const QStringList AtspiConnection::eventTypes {
    QStringLiteral("window:activate"),
    QStringLiteral("focus:"),
    QStringLiteral("object:state-changed:focused"),
    // LibreOffice tells of its text field by nothing else: no focus event on a click or a window
    // switch, and a search of its tree reaches the paragraph only after a thousand toolbar items.
    QStringLiteral("object:text-caret-moved"),
};

AtspiConnection::AtspiConnection(AtspiCalls &calls)
    : calls(calls)
{
}

AtspiConnection::~AtspiConnection()
{
    if (greeting) {
        g_source_destroy(greeting);
        g_source_unref(greeting);
    }
    if (!connected)
        return;
    for (const QString &type : eventTypes)
        atspi_event_listener_deregister(listener, type.toUtf8().constData(), nullptr);
    g_object_unref(listener);
}

bool AtspiConnection::connect()
{
    // Events and replies are dispatched by the context of the thread that connects,
    // which Qt's event loop runs there: the main thread never handles AT-SPI traffic.
    GMainContext *context = g_main_context_get_thread_default();
    if (context && context != atspiContext.load()) {
        // Held for good: references dropped after that thread ended must not reach a freed context.
        atspiContext.store(g_main_context_ref(context));
    }
    atspi_init();
    if (!atspi_get_a11y_bus()) {
        atspi_exit(); // so that a later attempt starts afresh
        return false;
    }
    if (context)
        atspi_set_main_context(context);
    atspi_set_timeout(int(AtspiCalls::callTimeout.count()), 0);
    listener = atspi_event_listener_new(&AtspiConnection::onEvent, this, nullptr);
    for (const QString &type : eventTypes)
        atspi_event_listener_register(listener, type.toUtf8().constData(), nullptr);
    connected = true;
    return true;
}

void AtspiConnection::onEvent(AtspiEvent *event, void *self)
{
    static_cast<AtspiConnection *>(self)->noteEvent(event);
    g_boxed_free(ATSPI_TYPE_EVENT, event);
}

void AtspiConnection::noteEvent(const AtspiEvent *event)
{
    if (!event->source || !event->type)
        return;
    const QByteArray type(event->type);
    ElementPtr source = share(event->source);
    if (type.startsWith("window:activate")) {
        if (mayGreet(source->busName()))
            scheduleGreeting(source);
        lastActivatedWindow = std::move(source);
    } else if (type.startsWith("object:text-caret-moved")) {
        const QString bus = source->busName();
        if (!bus.isEmpty())
            caretByApplication.insert(bus, std::move(source));
    } else if (type.startsWith("focus:") || (type.startsWith("object:state-changed:focused") && event->detail1)) {
        const QString bus = source->busName();
        if (!bus.isEmpty())
            focusedByApplication.insert(bus, std::move(source));
    }
}

void AtspiConnection::scheduleGreeting(ElementPtr window)
{
    toGreet.push_back(std::move(window));
    if (greeting)
        return;
    greeting = g_idle_source_new();
    g_source_set_callback(greeting, &AtspiConnection::greetPending, this, nullptr);
    g_source_attach(greeting, atspiContext.load());
}

gboolean AtspiConnection::greetPending(gpointer self)
{
    auto *events = static_cast<AtspiConnection *>(self);
    g_source_unref(std::exchange(events->greeting, nullptr));
    for (const ElementPtr &element : std::exchange(events->toGreet, {}))
        events->greet(*element);
    return G_SOURCE_REMOVE;
}

bool AtspiConnection::mayGreet(const QString &bus) const
{
    const auto it = greeted.constFind(bus);
    return it == greeted.cend() || it->hasExpired();
}

void AtspiConnection::greet(const AtspiElement &element)
{
    if (!mayGreet(element.busName()) || !calls.mayCall(element))
        return;
    greeted.insert(element.busName(), QDeadlineTimer(std::chrono::seconds(1)));
    if (GHashTable *attributes = calls.call(
            element, [&](GError **error) { return atspi_accessible_get_attributes(element.accessible(), error); }))
        g_hash_table_unref(attributes);
}
