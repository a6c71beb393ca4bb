#include "input/portal/portalshortcutsource.h"

#include "core/logging.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QUuid>

#include <QCoro/QCoroDBusPendingCall>
#include <QCoro/QCoroSignal>

using namespace Qt::StringLiterals;

namespace {

const QString portalService = u"org.freedesktop.portal.Desktop"_s;
const QString portalPath = u"/org/freedesktop/portal/desktop"_s;
const QString shortcutsInterface = u"org.freedesktop.portal.GlobalShortcuts"_s;

struct PortalShortcut {
    QString id;
    QVariantMap properties;
};

QDBusArgument &operator<<(QDBusArgument &argument, const PortalShortcut &shortcut)
{
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, PortalShortcut &shortcut)
{
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

QString token() { return u"verbulo_"_s + QUuid::createUuid().toString(QUuid::Id128); }

} // namespace

Q_DECLARE_METATYPE(PortalShortcut)

void PortalRequest::respond(uint code, const QVariantMap &results)
{
    answer = std::make_pair(code, results);
    Q_EMIT answered();
}

PortalShortcutSource::PortalShortcutSource(QDBusConnection bus, QObject *parent)
    : FnKeySource(parent)
    , m_bus(std::move(bus))
{
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<QList<PortalShortcut>>();
}

void PortalShortcutSource::start() { run(); }

QCoro::Task<void> PortalShortcutSource::run()
{
    const QPointer<PortalShortcutSource> self(this);
    const bool bound = co_await bind();
    // Nothing to tell the user: most desktops have no such portal, and the next trigger serves.
    if (self && !bound)
        Q_EMIT self->unavailable(QString());
}

QCoro::Task<std::optional<QVariantMap>> PortalShortcutSource::request(
    const QString &method, QVariantList arguments, const QString &handleToken)
{
    // The portal names the request object after our connection and the token we chose; listening
    // before the call means its answer cannot be missed.
    const QString path = u"/org/freedesktop/portal/desktop/request/"_s + m_bus.baseService().mid(1).replace(u'.', u'_')
        + u'/' + handleToken;
    PortalRequest pending;
    if (!m_bus.connect(portalService, path, u"org.freedesktop.portal.Request"_s, u"Response"_s, &pending,
            SLOT(respond(uint, QVariantMap))))
        co_return std::nullopt;
    QDBusMessage call = QDBusMessage::createMethodCall(portalService, portalPath, shortcutsInterface, method);
    call.setArguments(arguments);
    const QDBusMessage reply = co_await m_bus.asyncCall(call, int(answerTimeout.count()));
    if (reply.type() != QDBusMessage::ReplyMessage)
        co_return std::nullopt;
    if (!pending.answer)
        co_await qCoro(&pending, &PortalRequest::answered, userAnswerTimeout);
    if (!pending.answer || pending.answer->first != 0)
        co_return std::nullopt;
    co_return pending.answer->second;
}

namespace {

// Brace lists stay out of the coroutines below: g++ 12 cannot keep their arrays in a coroutine frame.
QVariantMap handleOptions(const QString &handleToken)
{
    QVariantMap options;
    options.insert(u"handle_token"_s, handleToken);
    return options;
}

QVariantList registerArguments()
{
    QVariantList arguments;
    arguments << PortalShortcutSource::appId << QVariantMap();
    return arguments;
}

QVariantList bindArguments(const QString &session, const QString &handleToken)
{
    QVariantMap properties;
    properties.insert(u"description"_s, u"Диктовка"_s);
    QList<PortalShortcut> shortcuts;
    shortcuts.append(PortalShortcut { PortalShortcutSource::shortcutId, properties });
    QVariantList arguments;
    arguments << QVariant::fromValue(QDBusObjectPath(session)) << QVariant::fromValue(shortcuts) << QString()
              << handleOptions(handleToken);
    return arguments;
}

} // namespace

QCoro::Task<bool> PortalShortcutSource::bind()
{
    const QPointer<PortalShortcutSource> self(this);
    // Since xdg-desktop-portal 1.21 a program outside a sandbox gets no shortcut session until it names
    // its application id, before any other portal call on its connection. Older portals have no such
    // registry; the session is asked for all the same.
    QDBusMessage registration = QDBusMessage::createMethodCall(
        portalService, portalPath, u"org.freedesktop.host.portal.Registry"_s, u"Register"_s);
    registration.setArguments(registerArguments());
    co_await m_bus.asyncCall(registration, int(answerTimeout.count()));
    if (!self)
        co_return false;
    const QString createToken = token();
    QVariantMap createOptions = handleOptions(createToken);
    createOptions.insert(u"session_handle_token"_s, token());
    const std::optional<QVariantMap> created
        = co_await request(u"CreateSession"_s, QVariantList() << createOptions, createToken);
    if (!self || !created)
        co_return false;
    const QVariant handle = created->value(u"session_handle"_s);
    const QString session
        = handle.canConvert<QDBusObjectPath>() ? handle.value<QDBusObjectPath>().path() : handle.toString();
    if (session.isEmpty())
        co_return false;

    const QString bindToken = token();
    const std::optional<QVariantMap> bound
        = co_await request(u"BindShortcuts"_s, bindArguments(session, bindToken), bindToken);
    if (!self || !bound)
        co_return false;
    m_session = session;
    // A portal that goes (it crashed, the desktop restarts it) sends no release of a held shortcut:
    // one is made up, so the edge rule is not left waiting for it.
    m_bus.connect(u"org.freedesktop.DBus"_s, u"/org/freedesktop/DBus"_s, u"org.freedesktop.DBus"_s,
        u"NameOwnerChanged"_s, { portalService }, QString(), this, SLOT(portalOwnerChanged(QString, QString, QString)));
    m_bus.connect(portalService, portalPath, shortcutsInterface, u"Activated"_s, this,
        SLOT(activated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
    m_bus.connect(portalService, portalPath, shortcutsInterface, u"Deactivated"_s, this,
        SLOT(deactivated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
    qCInfo(lcInput) << "the desktop's shortcut portal serves as the trigger";
    Q_EMIT this->bound();
    Q_EMIT observing();
    co_return true;
}

void PortalShortcutSource::activated(
    const QDBusObjectPath &session, const QString &shortcut, qulonglong, const QVariantMap &)
{
    if (session.path() == m_session && shortcut == shortcutId)
        Q_EMIT fnStateChanged(true);
}

void PortalShortcutSource::deactivated(
    const QDBusObjectPath &session, const QString &shortcut, qulonglong, const QVariantMap &)
{
    if (session.path() == m_session && shortcut == shortcutId)
        Q_EMIT fnStateChanged(false);
}

void PortalShortcutSource::portalOwnerChanged(const QString &, const QString &previousOwner, const QString &)
{
    if (previousOwner.isEmpty() || m_session.isEmpty())
        return;
    qCWarning(lcInput) << "the desktop's shortcut portal went away";
    m_session.clear();
    Q_EMIT fnStateChanged(false);
}
