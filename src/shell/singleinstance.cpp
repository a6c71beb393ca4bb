#include "shell/singleinstance.h"

#include "shell/singleinstance_p.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QPointer>

#include <QCoro/QCoroDBusPendingCall>

using namespace Qt::StringLiterals;

namespace {
constexpr int forwardTimeoutMs = 10'000;
}

SingleInstance::SingleInstance(QDBusConnection bus, QObject *parent)
    : QObject(parent)
    , m_bus(std::move(bus))
    , m_adaptor(new SingleInstanceAdaptor(this))
{
    connect(m_adaptor, &SingleInstanceAdaptor::reopenRequested, this, &SingleInstance::reopenRequested);
    connect(m_adaptor, &SingleInstanceAdaptor::toggleRequested, this, &SingleInstance::toggleRequested);
}

SingleInstance::~SingleInstance()
{
    if (m_registered) {
        m_bus.unregisterService(serviceName.toString());
        m_bus.unregisterObject(objectPath.toString());
    }
}

QCoro::Task<SingleInstance::Role> SingleInstance::claim(Request request)
{
    QPointer<SingleInstance> self(this);
    if (!m_bus.isConnected())
        co_return Role::noBus;

    // The object is in place before the name is taken, so a caller that finds the
    // name always finds the object too. Two tries: the running instance may quit
    // between our failed claim and our call.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (m_bus.registerObject(objectPath.toString(), m_adaptor, QDBusConnection::ExportScriptableSlots)) {
            if (m_bus.registerService(serviceName.toString())) {
                m_registered = true;
                co_return Role::primary;
            }
            m_bus.unregisterObject(objectPath.toString());
        }

        const QDBusMessage call = QDBusMessage::createMethodCall(serviceName.toString(), objectPath.toString(),
            interfaceName.toString(), request == Request::toggle ? u"Toggle"_s : u"Reopen"_s);
        QDBusPendingCall pending = m_bus.asyncCall(call, forwardTimeoutMs);
        co_await pending;
        if (!self)
            co_return Role::forwardFailed;
        if (!pending.isError())
            co_return Role::forwarded;
        const QDBusError::ErrorType error = pending.error().type();
        if (error != QDBusError::ServiceUnknown)
            break;
    }
    co_return Role::forwardFailed;
}
