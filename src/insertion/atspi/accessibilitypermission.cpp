#include "insertion/atspi/accessibilitypermission.h"

#include "core/blockingwork.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QThread>

using namespace Qt::StringLiterals;

namespace {

const QString busService = u"org.a11y.Bus"_s;
const QString busPath = u"/org/a11y/bus"_s;

bool askBus(const QDBusConnection &bus, int timeout)
{
    if (!bus.isConnected())
        return false;
    QDBusMessage address = QDBusMessage::createMethodCall(busService, busPath, busService, u"GetAddress"_s);
    const QDBusMessage addressReply = bus.call(address, QDBus::Block, timeout);
    if (addressReply.type() != QDBusMessage::ReplyMessage || addressReply.arguments().value(0).toString().isEmpty())
        return false;

    QDBusMessage enabled
        = QDBusMessage::createMethodCall(busService, busPath, u"org.freedesktop.DBus.Properties"_s, u"Get"_s);
    enabled << u"org.a11y.Status"_s << u"IsEnabled"_s;
    const QDBusMessage enabledReply = bus.call(enabled, QDBus::Block, timeout);
    if (enabledReply.type() != QDBusMessage::ReplyMessage)
        return false;
    const QVariant value = enabledReply.arguments().value(0);
    if (!value.canConvert<QDBusVariant>())
        return false;
    const QVariant inner = value.value<QDBusVariant>().variant();
    return inner.typeId() == QMetaType::Bool && inner.toBool();
}

bool onMainThread()
{
    const QCoreApplication *application = QCoreApplication::instance();
    return application && QThread::currentThread() == application->thread();
}

} // namespace

AccessibilityPermission::AccessibilityPermission(QDBusConnection sessionBus)
    : m_bus(std::move(sessionBus))
    , m_state(std::make_shared<State>())
{
    askInBackground();
}

bool AccessibilityPermission::isBusEnabled()
{
    if (onMainThread()) {
        askInBackground();
        return m_state->busEnabled;
    }
    const bool enabled = askBus(m_bus, int(callTimeout.count()));
    m_state->busEnabled = enabled;
    return enabled;
}

void AccessibilityPermission::askInBackground()
{
    if (m_state->asking.exchange(true))
        return;
    (void)BlockingWork::run([state = m_state, bus = m_bus] {
        state->busEnabled = askBus(bus, int(callTimeout.count()));
        state->asking = false;
    });
}

void AccessibilityPermission::enableBus()
{
    QDBusMessage enable
        = QDBusMessage::createMethodCall(busService, busPath, u"org.freedesktop.DBus.Properties"_s, u"Set"_s);
    enable << u"org.a11y.Status"_s << u"IsEnabled"_s << QVariant::fromValue(QDBusVariant(true));
    m_bus.send(enable);
    askInBackground();
}
