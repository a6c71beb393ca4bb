#include "atspiaccessibilitybackend.h"

#include "activewindowsource.h"
#include "x11windowresolver.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QHash>
#include <QSet>
#include <QWindow>

#include <atspi/atspi.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <dlfcn.h>
#include <utility>

namespace {

// The main context of the thread that connected to AT-SPI last; libatspi is not thread-safe, so
// everything of it happens on the thread that iterates this context. Written only by
// connectToBus() on that thread; read there by libatspi's calls into the function below, and on
// any thread by an element dropping its reference: atomic for that. A context once stored is held
// for good, so a reader never sees one that was freed.
std::atomic<GMainContext *> atspiContext { nullptr };

} // namespace

// libatspi attaches the private connection it opens to each application to the process's default
// context, which Qt iterates on the main thread: replies meant for the accessibility thread were
// handled there too, two threads on one libdbus connection (libdbus aborts, or each waits for the
// other). atspi_set_main_context() moves only the connections that exist when it is called, and
// libatspi (2.46 in Debian 12) offers no other way to name the context for those made later, so the
// override is still needed. Defined here, this function takes the place of libatspi's own for
// libatspi's calls as well; it is process-wide, so it changes nothing but the default context, and
// only once a backend has connected: any other caller gets libatspi's own behaviour.
extern "C" __attribute__((visibility("default"))) void atspi_dbus_connection_setup_with_g_main(
    DBusConnection *connection, GMainContext *context)
{
    using Setup = void (*)(DBusConnection *, GMainContext *);
    static const auto setUp = reinterpret_cast<Setup>(dlsym(RTLD_NEXT, "atspi_dbus_connection_setup_with_g_main"));
    GMainContext *const ours = atspiContext.load();
    if (ours && (!context || context == g_main_context_default()))
        context = ours;
    if (setUp)
        setUp(connection, context);
}

namespace {

gboolean unrefAccessible(gpointer accessible)
{
    g_object_unref(accessible);
    return G_SOURCE_REMOVE;
}

// Owns one reference to an AT-SPI object.
class AtspiElement final : public AccessibleElement {
public:
    // Adopts the reference the caller holds.
    AtspiElement(AtspiAccessible *accessible, bool isApplication)
        : m_accessible(accessible)
        , m_isApplication(isApplication)
    {
    }
    // The last holder may be on another thread; the reference is dropped on AT-SPI's own.
    ~AtspiElement() override
    {
        if (GMainContext *context = atspiContext.load())
            g_main_context_invoke(context, unrefAccessible, m_accessible);
        else
            g_object_unref(m_accessible);
    }
    AtspiElement(const AtspiElement &) = delete;
    AtspiElement &operator=(const AtspiElement &) = delete;

    AtspiAccessible *accessible() const { return m_accessible; }
    bool isApplication() const { return m_isApplication; }
    QString busName() const
    {
        const AtspiApplication *app = m_accessible->parent.app;
        return app && app->bus_name ? QString::fromUtf8(app->bus_name) : QString();
    }
    QString path() const { return QString::fromUtf8(m_accessible->parent.path); }

private:
    AtspiAccessible *m_accessible;
    bool m_isApplication;
};

using ElementPtr = std::shared_ptr<const AtspiElement>;

// A Wayland window, by the compositor's word, of an application that is not on the accessibility bus.
class CompositorWindowElement final : public AccessibleElement {
public:
    explicit CompositorWindowElement(qint64 id)
        : id(id)
    {
    }
    const qint64 id;
};

// A top-level X11 window of an application that is not on the accessibility bus.
class X11WindowElement final : public AccessibleElement {
public:
    explicit X11WindowElement(qint64 id)
        : id(id)
    {
    }
    const qint64 id;
};

ElementPtr adopt(AtspiAccessible *accessible, bool isApplication = false)
{
    return accessible ? std::make_shared<const AtspiElement>(accessible, isApplication) : nullptr;
}

ElementPtr share(AtspiAccessible *accessible, bool isApplication = false)
{
    return accessible ? adopt(ATSPI_ACCESSIBLE(g_object_ref(accessible)), isApplication) : nullptr;
}

const AtspiElement *atspi(const AccessibleElementRef &element)
{
    return dynamic_cast<const AtspiElement *>(element.get());
}

QString takeString(gchar *text)
{
    if (!text)
        return {};
    QString result = QString::fromUtf8(text);
    g_free(text);
    return result;
}

// AT-SPI counts text offsets in characters; QString counts UTF-16 code units.
qint64 utf16Offset(const QString &prefix, qint64 characters)
{
    qint64 units = 0;
    qint64 seen = 0;
    for (; seen < characters && units < prefix.size(); ++seen) {
        const bool pair
            = prefix.at(units).isHighSurrogate() && units + 1 < prefix.size() && prefix.at(units + 1).isLowSurrogate();
        units += pair ? 2 : 1;
    }
    // Past the text we were given each character counts as one unit.
    return units + (characters - seen);
}

// Up to this many elements are searched for the focused one when no focus event named it.
constexpr int focusSearchLimit = 300;

} // namespace

class AtspiAccessibilityBackend::Private {
public:
    explicit Private(AbstractAccessibilityPermission &permission)
        : permission(permission)
    {
    }

    AbstractAccessibilityPermission &permission;
    X11WindowResolver windows;
    // In a Wayland session the compositor's word on the window in front stands in for the X server's.
    std::unique_ptr<ActiveWindowSource> toplevels = ActiveWindowSource::forSession();
    // Kept by the main thread, where Qt's windows live, and read here.
    std::shared_ptr<std::atomic<bool>> ownWindowFocused = std::make_shared<std::atomic<bool>>(false);
    QMetaObject::Connection focusConnection;
    std::optional<X11WindowResolver::TopLevel> lastFront;
    AtspiEventListener *listener = nullptr;
    // libatspi aborts the process when asked anything without an accessibility
    // bus, so nothing below the connection check calls it until this is true.
    bool connected = false;
    // Per application bus name: the element focus events last named.
    QHash<QString, ElementPtr> focusedByApplication;
    ElementPtr lastActivatedWindow;
    ElementPtr frontmostApplication;
    QHash<QString, qint32> processByBusName;
    QHash<QString, QString> toolkitByBusName;
    QHash<QString, QDeadlineTimer> hungUntil;
    // Chromium and Electron build the tree of their pages only once an assistive client
    // asks one of their objects for its attributes. An application is asked as its window
    // comes to the front, so its focused field is known by the time of a capture, and again
    // (not more than once a second) while a capture finds no focus in it: asked before its
    // page was loaded, it may not have taken the hint.
    QHash<QString, QDeadlineTimer> greeted;
    std::vector<ElementPtr> toGreet;
    GSource *greeting = nullptr;
    QDeadlineTimer deadline { QDeadlineTimer::Forever };
    std::chrono::nanoseconds timeInCalls { 0 };

    static const QStringList eventTypes;

    static void onEvent(AtspiEvent *event, void *self)
    {
        static_cast<Private *>(self)->noteEvent(event);
        g_boxed_free(ATSPI_TYPE_EVENT, event);
    }

    // Events can arrive in the middle of our own calls; this only records.
    void noteEvent(const AtspiEvent *event)
    {
        if (!event->source || !event->type)
            return;
        const QByteArray type(event->type);
        ElementPtr source = share(event->source);
        if (type.startsWith("window:activate")) {
            if (mayGreet(source->busName()))
                scheduleGreeting(source);
            lastActivatedWindow = std::move(source);
        } else if (type.startsWith("focus:") || (type.startsWith("object:state-changed:focused") && event->detail1)) {
            const QString bus = source->busName();
            if (!bus.isEmpty())
                focusedByApplication.insert(bus, std::move(source));
        }
    }

    // Outside event dispatch: a call made from there could nest inside one of our own.
    void scheduleGreeting(ElementPtr window)
    {
        toGreet.push_back(std::move(window));
        if (greeting)
            return;
        greeting = g_idle_source_new();
        g_source_set_callback(greeting, &Private::greetPending, this, nullptr);
        g_source_attach(greeting, atspiContext.load());
    }

    static gboolean greetPending(gpointer self)
    {
        auto *d = static_cast<Private *>(self);
        g_source_unref(std::exchange(d->greeting, nullptr));
        for (const ElementPtr &element : std::exchange(d->toGreet, {}))
            d->greet(*element);
        return G_SOURCE_REMOVE;
    }

    bool mayGreet(const QString &bus) const
    {
        const auto it = greeted.constFind(bus);
        return it == greeted.cend() || it->hasExpired();
    }

    void greet(const AtspiElement &element)
    {
        if (!mayGreet(element.busName()) || !mayCall(element))
            return;
        greeted.insert(element.busName(), QDeadlineTimer(std::chrono::seconds(1)));
        if (GHashTable *attributes = call(
                element, [&](GError **error) { return atspi_accessible_get_attributes(element.accessible(), error); }))
            g_hash_table_unref(attributes);
    }

    // Whether calls to the application behind this element may be made: never to
    // this program itself (it would answer only after the time-out) nor to one that seems hung.
    bool mayCall(const AtspiElement &element)
    {
        const QString bus = element.busName();
        if (bus.isEmpty() || deadline.hasExpired())
            return false;
        if (auto it = hungUntil.find(bus); it != hungUntil.end()) {
            if (!it->hasExpired())
                return false;
            hungUntil.erase(it);
        }
        const std::optional<qint32> pid = processOf(element);
        return pid && *pid != qint32(QCoreApplication::applicationPid());
    }

    std::optional<qint32> processOf(const AtspiElement &element)
    {
        const QString bus = element.busName();
        if (auto it = processByBusName.constFind(bus); it != processByBusName.constEnd())
            return *it;
        if (deadline.hasExpired())
            return std::nullopt;
        // Answered by the bus daemon, not by the application.
        GError *error = nullptr;
        QElapsedTimer elapsed;
        elapsed.start();
        const guint pid = atspi_accessible_get_process_id(element.accessible(), &error);
        timeInCalls += std::chrono::nanoseconds(elapsed.nsecsElapsed());
        if (error) {
            g_error_free(error);
            return std::nullopt;
        }
        processByBusName.insert(bus, qint32(pid));
        return qint32(pid);
    }

    // Runs one call to the element's application, timing it and noting a hang.
    template<typename Call>
    auto call(const AtspiElement &element, Call &&run) -> decltype(run(static_cast<GError **>(nullptr)))
    {
        using Result = decltype(run(static_cast<GError **>(nullptr)));
        if (!mayCall(element))
            return Result {};
        GError *error = nullptr;
        QElapsedTimer elapsed;
        elapsed.start();
        Result result = run(&error);
        const auto took = std::chrono::nanoseconds(elapsed.nsecsElapsed());
        timeInCalls += took;
        if (took >= callTimeout * 3 / 4)
            hungUntil.insert(element.busName(), QDeadlineTimer(hungApplicationPause));
        if (error) {
            g_error_free(error);
            return Result {};
        }
        return result;
    }

    // Asked of the application itself. libatspi's copy changes only with the events some client
    // listens to, which arrive late under load: a window made active or a tab switched a moment ago
    // could read as before. Its cache is left alone: libatspi's own event handling relies on it.
    bool hasState(const AtspiElement &element, AtspiStateType state)
    {
        return call(element, [&](GError **) {
            const AtspiApplication *app = element.accessible()->parent.app;
            if (!app || !app->bus || !app->bus_name)
                return false;
            DBusMessage *request = dbus_message_new_method_call(
                app->bus_name, element.accessible()->parent.path, "org.a11y.atspi.Accessible", "GetState");
            if (!request)
                return false;
            DBusError failure;
            dbus_error_init(&failure);
            DBusMessage *reply
                = dbus_connection_send_with_reply_and_block(app->bus, request, int(callTimeout.count()), &failure);
            dbus_message_unref(request);
            if (!reply) {
                dbus_error_free(&failure);
                return false;
            }
            dbus_uint32_t *words = nullptr;
            int count = 0;
            const bool parsed = dbus_message_get_args(reply, nullptr, DBUS_TYPE_ARRAY, DBUS_TYPE_UINT32, &words, &count,
                                    DBUS_TYPE_INVALID)
                && count == 2;
            const quint64 states = parsed ? (quint64(words[1]) << 32 | words[0]) : 0;
            dbus_message_unref(reply);
            const auto has = [&](AtspiStateType which) { return (states >> which & 1) != 0; };
            return has(state) && !has(ATSPI_STATE_DEFUNCT);
        });
    }

    std::vector<ElementPtr> children(const AtspiElement &element)
    {
        std::vector<ElementPtr> result;
        const gint count = call(
            element, [&](GError **error) { return atspi_accessible_get_child_count(element.accessible(), error); });
        for (gint i = 0; i < count; ++i) {
            ElementPtr child = adopt(call(element,
                [&](GError **error) { return atspi_accessible_get_child_at_index(element.accessible(), i, error); }));
            if (child)
                result.push_back(std::move(child));
        }
        return result;
    }

    ElementPtr activeWindow(const AtspiElement &application)
    {
        for (ElementPtr &window : children(application)) {
            if (hasState(*window, ATSPI_STATE_ACTIVE))
                return window;
        }
        return nullptr;
    }

    std::vector<ElementPtr> applications()
    {
        std::vector<ElementPtr> result;
        ElementPtr desktop = adopt(atspi_get_desktop(0));
        if (!desktop)
            return result;
        for (ElementPtr &child : children(*desktop))
            result.push_back(share(child->accessible(), true));
        return result;
    }

    std::optional<QString> toolkitOf(const AtspiElement &element)
    {
        const QString bus = element.busName();
        if (!toolkitByBusName.contains(bus)) {
            // Some toolkits name themselves only on their application object.
            const ElementPtr application = applicationOfWindow(element);
            const std::optional<QString> toolkit
                = application ? text(*application, atspi_accessible_get_toolkit_name) : std::nullopt;
            if (!toolkit)
                return std::nullopt;
            toolkitByBusName.insert(bus, *toolkit);
        }
        return toolkitByBusName.value(bus);
    }

    ElementPtr applicationOfWindow(const AtspiElement &window)
    {
        if (AtspiApplication *app = window.accessible()->parent.app; app && app->root)
            return share(app->root, true);
        return adopt(
            call(window, [&](GError **error) { return atspi_accessible_get_application(window.accessible(), error); }),
            true);
    }

    ElementPtr focusedElement(const AtspiElement &application)
    {
        if (ElementPtr tracked = focusedByApplication.value(application.busName())) {
            if (hasState(*tracked, ATSPI_STATE_FOCUSED))
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
            if (hasState(*element, ATSPI_STATE_FOCUSED)) {
                focusedByApplication.insert(application.busName(), element);
                return element;
            }
            if (!mayCall(*element))
                return nullptr;
            for (ElementPtr &child : children(*element))
                queue.push_back(std::move(child));
        }
        // It was in front before we started; it may show its field at the next capture.
        greet(*window);
        return nullptr;
    }

    std::optional<QString> text(const AtspiElement &element, gchar *(*read)(AtspiAccessible *, GError **))
    {
        bool ok = false;
        QString value = call(element, [&](GError **error) {
            gchar *raw = read(element.accessible(), error);
            ok = raw != nullptr;
            return takeString(raw);
        });
        return ok ? std::optional<QString>(value) : std::nullopt;
    }

    std::optional<QRectF> extents(const AtspiElement &element)
    {
        return call(element, [&](GError **error) -> std::optional<QRectF> {
            AtspiComponent *component = atspi_accessible_get_component_iface(element.accessible());
            if (!component)
                return std::nullopt;
            AtspiRect *rect = atspi_component_get_extents(component, ATSPI_COORD_TYPE_SCREEN, error);
            g_object_unref(component);
            if (!rect)
                return std::nullopt;
            QRectF result(rect->x, rect->y, rect->width, rect->height);
            g_free(rect);
            if (result.width() < 0 || result.height() < 0)
                return std::nullopt;
            return result;
        });
    }

    std::optional<QString> documentAttribute(const AtspiElement &element, const char *name)
    {
        return call(element, [&](GError **error) -> std::optional<QString> {
            AtspiDocument *document = atspi_accessible_get_document_iface(element.accessible());
            if (!document)
                return std::nullopt;
            gchar *raw = atspi_document_get_document_attribute_value(document, const_cast<gchar *>(name), error);
            g_object_unref(document);
            if (!raw)
                return std::nullopt;
            return takeString(raw);
        });
    }

    std::optional<QString> wholeText(const AtspiElement &element)
    {
        return call(element, [&](GError **error) -> std::optional<QString> {
            AtspiText *text = atspi_accessible_get_text_iface(element.accessible());
            if (!text)
                return std::nullopt;
            gchar *raw = atspi_text_get_text(text, 0, -1, error);
            g_object_unref(text);
            if (!raw)
                return std::nullopt;
            return takeString(raw);
        });
    }

    std::optional<TextRange> selectedRange(const AtspiElement &element)
    {
        return call(element, [&](GError **error) -> std::optional<TextRange> {
            AtspiText *text = atspi_accessible_get_text_iface(element.accessible());
            if (!text)
                return std::nullopt;
            std::optional<TextRange> range;
            gint start = -1, end = -1;
            if (atspi_text_get_n_selections(text, nullptr) > 0) {
                if (AtspiRange *selection = atspi_text_get_selection(text, 0, nullptr)) {
                    start = std::min(selection->start_offset, selection->end_offset);
                    end = std::max(selection->start_offset, selection->end_offset);
                    g_free(selection);
                }
            }
            if (start < 0 || end <= start) {
                start = end = atspi_text_get_caret_offset(text, error);
            }
            if (start >= 0 && !(error && *error)) {
                // Offsets become UTF-16 units by measuring the text in front of them.
                const QString prefix = takeString(atspi_text_get_text(text, 0, end, nullptr));
                const qint64 location = utf16Offset(prefix, start);
                range = TextRange { location, utf16Offset(prefix, end) - location };
            }
            g_object_unref(text);
            return range;
        });
    }

    std::optional<qint64> windowNumber(const AtspiElement &window)
    {
        const std::optional<qint32> pid = processOf(window);
        if (!pid || !mayCall(window))
            return std::nullopt;
        const std::optional<QString> title = text(window, atspi_accessible_get_name);
        if (toplevels && toplevels->isAvailable())
            return toplevels->activeWindowId(title);
        return windows.windowId(*pid, title, extents(window));
    }

    std::optional<ActiveWindowSource::Window> compositorFront() const
    {
        return toplevels && toplevels->isAvailable() ? toplevels->activeWindow() : std::nullopt;
    }

    std::optional<QString> windowClass(const AccessibleElement &element)
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
            if (lastFront && lastFront->processIdentifier && lastFront->processIdentifier == processOf(*atspi)
                && !lastFront->windowClass.isEmpty())
                return lastFront->windowClass.join(u'\n');
            number = windowNumber(*atspi);
        }
        const std::optional<X11WindowResolver::TopLevel> window = number ? windows.describe(*number) : std::nullopt;
        if (!window || window->windowClass.isEmpty())
            return std::nullopt;
        return window->windowClass.join(u'\n');
    }
};

const QStringList AtspiAccessibilityBackend::Private::eventTypes {
    QStringLiteral("window:activate"),
    QStringLiteral("focus:"),
    QStringLiteral("object:state-changed:focused"),
};

AtspiAccessibilityBackend::AtspiAccessibilityBackend(AbstractAccessibilityPermission &permission)
    : d(std::make_unique<Private>(permission))
{
    if (qGuiApp) {
        d->ownWindowFocused->store(QGuiApplication::focusWindow() != nullptr);
        d->focusConnection = QObject::connect(qGuiApp, &QGuiApplication::focusWindowChanged,
            [focused = d->ownWindowFocused](QWindow *window) { focused->store(window != nullptr); });
    }
}

AtspiAccessibilityBackend::~AtspiAccessibilityBackend()
{
    QObject::disconnect(d->focusConnection);
    if (d->greeting) {
        g_source_destroy(d->greeting);
        g_source_unref(d->greeting);
    }
    if (!d->connected)
        return;
    for (const QString &type : Private::eventTypes)
        atspi_event_listener_deregister(d->listener, type.toUtf8().constData(), nullptr);
    g_object_unref(d->listener);
}

bool AtspiAccessibilityBackend::connectToBus()
{
    if (d->connected)
        return true;
    // A bounded check first: libatspi's own look-up of the bus may block for long.
    if (!d->permission.isTrusted())
        return false;
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
    atspi_set_timeout(int(callTimeout.count()), 0);
    d->listener = atspi_event_listener_new(&Private::onEvent, d.get(), nullptr);
    for (const QString &type : Private::eventTypes)
        atspi_event_listener_register(d->listener, type.toUtf8().constData(), nullptr);
    d->connected = true;
    return true;
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
    if (!d->connected)
        return std::nullopt;
    // The X server knows the window in front, also of programs the bus does not see; under
    // Wayland it knows only its X clients, and its focus may be stale.
    static const bool x11Session = qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    const auto front = d->lastFront = x11Session ? d->windows.frontWindow() : std::nullopt;
    std::optional<qint32> frontProcess = front ? front->processIdentifier : std::nullopt;
    // KWin names the process of its window in front; a list of toplevels does not.
    if (const auto compositor = d->compositorFront())
        frontProcess = compositor->processIdentifier;
    if (frontProcess) {
        // The application found for it last time is kept while it stays in front.
        if (d->frontmostApplication && d->processOf(*d->frontmostApplication) != frontProcess)
            d->frontmostApplication.reset();
        return frontProcess;
    }
    d->frontmostApplication.reset();
    // One of our own windows has the focus; nothing of ours is asked over the bus.
    if (d->ownWindowFocused->load())
        return ownProcessIdentifier();

    if (ElementPtr window = d->lastActivatedWindow; window && d->hasState(*window, ATSPI_STATE_ACTIVE)) {
        if (ElementPtr application = d->applicationOfWindow(*window)) {
            if (std::optional<qint32> pid = d->processOf(*application)) {
                d->frontmostApplication = std::move(application);
                return pid;
            }
        }
    }
    for (ElementPtr &application : d->applications()) {
        if (!d->mayCall(*application))
            continue;
        if (ElementPtr window = d->activeWindow(*application)) {
            d->lastActivatedWindow = std::move(window);
            d->frontmostApplication = application;
            return d->processOf(*application);
        }
    }
    return std::nullopt;
}

qint32 AtspiAccessibilityBackend::ownProcessIdentifier() { return qint32(QCoreApplication::applicationPid()); }

AccessibleElementRef AtspiAccessibilityBackend::applicationElement(qint32 processIdentifier)
{
    if (!d->connected)
        return nullptr;
    if (d->frontmostApplication && d->processOf(*d->frontmostApplication) == processIdentifier)
        return d->frontmostApplication;
    for (ElementPtr &application : d->applications()) {
        if (d->processOf(*application) == processIdentifier) {
            d->frontmostApplication = application;
            return application;
        }
    }
    return nullptr;
}

bool AtspiAccessibilityBackend::insertText(const AccessibleElementRef &reference, const QString &text)
{
    const AtspiElement *element = atspi(reference);
    if (!element || text.isEmpty())
        return false;
    const std::optional<QString> toolkit = d->toolkitOf(*element);
    if (!toolkit)
        return false;
    // The length argument is counted in UTF-16 units by Qt and in bytes by the ATK toolkits (GTK and others).
    const bool qt = toolkit->compare(u"Qt", Qt::CaseInsensitive) == 0;
    const QByteArray utf8 = text.toUtf8();
    const gint length = gint(qt ? text.size() : utf8.size());
    return d->call(*element, [&](GError **error) {
        AtspiEditableText *editable = atspi_accessible_get_editable_text_iface(element->accessible());
        AtspiText *readable = atspi_accessible_get_text_iface(element->accessible());
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

AccessibleElementRef AtspiAccessibilityBackend::frontWindow(qint32 processIdentifier)
{
    if (const auto front = d->compositorFront(); front && front->processIdentifier) {
        if (front->processIdentifier != processIdentifier)
            return nullptr;
        return std::make_shared<const CompositorWindowElement>(front->id);
    }
    const auto front = d->lastFront = d->windows.frontWindow();
    if (!front || front->processIdentifier != processIdentifier)
        return nullptr;
    return std::make_shared<const X11WindowElement>(front->id);
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
            if (const auto described = d->windows.describe(window->id))
                return value(described->title);
            return {};
        case AccessibilityAttribute::windowClass:
            return value(d->windowClass(*window));
        default:
            return {};
        }
    }
    if (const auto *window = dynamic_cast<const CompositorWindowElement *>(reference.get())) {
        const std::optional<ActiveWindowSource::Window> front = d->compositorFront();
        switch (name) {
        case AccessibilityAttribute::windowNumber:
            return window->id;
        case AccessibilityAttribute::title:
            return front && front->id == window->id ? AttributeValue(front->title) : AttributeValue {};
        case AccessibilityAttribute::windowClass:
            return value(d->windowClass(*window));
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
        return element->isApplication() ? elementValue(d->activeWindow(*element)) : AttributeValue {};
    case AccessibilityAttribute::focusedUIElement:
        return element->isApplication() ? elementValue(d->focusedElement(*element)) : AttributeValue {};
    case AccessibilityAttribute::windowNumber:
        return value(d->windowNumber(*element));
    case AccessibilityAttribute::role:
        return value(d->text(*element, atspi_accessible_get_role_name));
    case AccessibilityAttribute::subrole:
        return {};
    case AccessibilityAttribute::identifier:
        return value(d->text(*element, atspi_accessible_get_accessible_id));
    case AccessibilityAttribute::title:
        return value(d->text(*element, atspi_accessible_get_name));
    case AccessibilityAttribute::position:
        if (std::optional<QRectF> rect = d->extents(*element))
            return rect->topLeft();
        return {};
    case AccessibilityAttribute::size:
        if (std::optional<QRectF> rect = d->extents(*element))
            return rect->size();
        return {};
    case AccessibilityAttribute::url:
        if (std::optional<QString> url = d->documentAttribute(*element, "DocURL")) {
            const QUrl parsed(*url, QUrl::StrictMode);
            if (parsed.isValid() && !parsed.isRelative())
                return parsed;
            return *url;
        }
        return {};
    case AccessibilityAttribute::document:
        return value(d->documentAttribute(*element, "URI"));
    case AccessibilityAttribute::parent:
        return elementValue(adopt(d->call(
            *element, [&](GError **error) { return atspi_accessible_get_parent(element->accessible(), error); })));
    case AccessibilityAttribute::value:
        return value(d->wholeText(*element));
    case AccessibilityAttribute::selectedTextRange:
        return value(d->selectedRange(*element));
    case AccessibilityAttribute::objectIdentity:
        return element->busName() + u'\n' + element->path();
    case AccessibilityAttribute::editable:
        if (!d->mayCall(*element))
            return {};
        return qint64(d->hasState(*element, ATSPI_STATE_EDITABLE));
    case AccessibilityAttribute::windowClass:
        return value(d->windowClass(*element));
    case AccessibilityAttribute::toolkit:
        return value(d->toolkitOf(*element));
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

void AtspiAccessibilityBackend::setDeadline(QDeadlineTimer deadline) { d->deadline = deadline; }

std::chrono::nanoseconds AtspiAccessibilityBackend::timeInCalls() const { return d->timeInCalls; }
