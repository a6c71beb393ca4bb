#include "insertion/atspi/atspicalls.h"

#include <QCoreApplication>

bool AtspiCalls::mayCall(const AtspiElement &element)
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

std::optional<qint32> AtspiCalls::processOf(const AtspiElement &element)
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

bool AtspiCalls::hasState(const AtspiElement &element, AtspiStateType state)
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
        const bool parsed = dbus_message_get_args(
                                reply, nullptr, DBUS_TYPE_ARRAY, DBUS_TYPE_UINT32, &words, &count, DBUS_TYPE_INVALID)
            && count == 2;
        const quint64 states = parsed ? (quint64(words[1]) << 32 | words[0]) : 0;
        dbus_message_unref(reply);
        const auto has = [&](AtspiStateType which) { return (states >> which & 1) != 0; };
        return has(state) && !has(ATSPI_STATE_DEFUNCT);
    });
}

std::vector<ElementPtr> AtspiCalls::children(const AtspiElement &element)
{
    std::vector<ElementPtr> result;
    const gint count
        = call(element, [&](GError **error) { return atspi_accessible_get_child_count(element.accessible(), error); });
    for (gint i = 0; i < count; ++i) {
        ElementPtr child = adopt(call(element,
            [&](GError **error) { return atspi_accessible_get_child_at_index(element.accessible(), i, error); }));
        if (child)
            result.push_back(std::move(child));
    }
    return result;
}
