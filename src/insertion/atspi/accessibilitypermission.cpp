#include "accessibilitypermission.h"

#include <QDBusMessage>
#include <QDBusVariant>

using namespace Qt::StringLiterals;

namespace {

const QString busService = u"org.a11y.Bus"_s;
const QString busPath = u"/org/a11y/bus"_s;

} // namespace

AccessibilityPermission::AccessibilityPermission(QDBusConnection sessionBus)
    : m_bus(std::move(sessionBus))
{
}

bool AccessibilityPermission::isTrusted()
{
    if (!m_bus.isConnected())
        return false;
    const int timeout = int(callTimeout.count());
    QDBusMessage address = QDBusMessage::createMethodCall(busService, busPath, busService, u"GetAddress"_s);
    const QDBusMessage addressReply = m_bus.call(address, QDBus::Block, timeout);
    if (addressReply.type() != QDBusMessage::ReplyMessage || addressReply.arguments().value(0).toString().isEmpty())
        return false;

    QDBusMessage enabled
        = QDBusMessage::createMethodCall(busService, busPath, u"org.freedesktop.DBus.Properties"_s, u"Get"_s);
    enabled << u"org.a11y.Status"_s << u"IsEnabled"_s;
    const QDBusMessage enabledReply = m_bus.call(enabled, QDBus::Block, timeout);
    if (enabledReply.type() != QDBusMessage::ReplyMessage)
        return false;
    const QVariant value = enabledReply.arguments().value(0);
    if (!value.canConvert<QDBusVariant>())
        return false;
    const QVariant inner = value.value<QDBusVariant>().variant();
    return inner.typeId() == QMetaType::Bool && inner.toBool();
}

void AccessibilityPermission::requestTrust()
{
    QDBusMessage enable
        = QDBusMessage::createMethodCall(busService, busPath, u"org.freedesktop.DBus.Properties"_s, u"Set"_s);
    enable << u"org.a11y.Status"_s << u"IsEnabled"_s << QVariant::fromValue(QDBusVariant(true));
    m_bus.send(enable);
}
