#include "insertion/portal/remotedesktopkeystrokesender.h"

#include "core/appsettings.h"
#include "core/detachedtask.h"
#include "core/logging.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QPointer>
#include <QUuid>

#include <QCoro/QCoroDBusPendingCall>
#include <QCoro/QCoroSignal>

using namespace Qt::StringLiterals;

namespace {

const QString portalService = u"org.freedesktop.portal.Desktop"_s;
const QString portalPath = u"/org/freedesktop/portal/desktop"_s;
const QString remoteDesktopInterface = u"org.freedesktop.portal.RemoteDesktop"_s;
const QString sessionInterface = u"org.freedesktop.portal.Session"_s;
constexpr uint keyboardDevice = 1;
// Kept until the user revokes it, across restarts of the program.
constexpr uint persistUntilRevoked = 2;

QString newToken() { return u"verbulo_"_s + QUuid::createUuid().toString(QUuid::Id128); }

QVariantMap handleOptions(const QString &handleToken)
{
    QVariantMap options;
    options.insert(u"handle_token"_s, handleToken);
    return options;
}

// Argument lists are built out here: g++ 12 cannot keep brace lists' arrays in a coroutine frame.
QVariantList sessionArguments(const QString &session, const QVariantMap &options)
{
    return QVariantList() << QVariant::fromValue(QDBusObjectPath(session)) << options;
}

} // namespace

// One answer of the portal to a request, kept until it is awaited: it may come before that.
class RemoteDesktopAnswer : public QObject {
    Q_OBJECT
public:
    std::optional<std::pair<uint, QVariantMap>> answer;
public Q_SLOTS:
    void respond(uint code, const QVariantMap &results)
    {
        answer = std::make_pair(code, results);
        Q_EMIT answered();
    }
Q_SIGNALS:
    void answered();
};

RemoteDesktopKeystrokeSender::RemoteDesktopKeystrokeSender(QDBusConnection bus, QObject *parent)
    : QObject(parent)
    , m_bus(std::move(bus))
{
}

RemoteDesktopKeystrokeSender::~RemoteDesktopKeystrokeSender() { closeSession(); }

void RemoteDesktopKeystrokeSender::setEnabled(bool enabled)
{
    // Turning it on again retries after a refusal or a closed session.
    if (enabled ? m_state == State::active || m_state == State::starting : m_state == State::off)
        return;
    closeSession();
    const quint64 attempt = ++m_attempt;
    m_fixTold = false;
    if (!enabled) {
        setState(State::off);
        return;
    }
    setState(State::starting);
    startDetached(start(attempt), [](const QString &description) {
        qCWarning(lcInsertion) << "the remote-desktop session could not start:" << description;
    });
}

QCoro::Task<RemoteDesktopKeystrokeSender::Answer> RemoteDesktopKeystrokeSender::request(
    QString method, QVariantList arguments, QString handleToken, std::chrono::milliseconds answerWait)
{
    // The portal names the request object after our connection and the token we chose; listening
    // before the call means its answer cannot be missed.
    const QString path = u"/org/freedesktop/portal/desktop/request/"_s + m_bus.baseService().mid(1).replace(u'.', u'_')
        + u'/' + handleToken;
    RemoteDesktopAnswer pending;
    Answer result;
    if (!m_bus.connect(portalService, path, u"org.freedesktop.portal.Request"_s, u"Response"_s, &pending,
            SLOT(respond(uint, QVariantMap))))
        co_return result;
    QDBusMessage call = QDBusMessage::createMethodCall(portalService, portalPath, remoteDesktopInterface, method);
    call.setArguments(arguments);
    const QDBusMessage reply = co_await m_bus.asyncCall(call, int(answerTimeout.count()));
    if (reply.type() != QDBusMessage::ReplyMessage) {
        const QDBusError::ErrorType error = QDBusError(reply).type();
        result.portalMissing = error == QDBusError::ServiceUnknown || error == QDBusError::UnknownInterface
            || error == QDBusError::UnknownMethod || error == QDBusError::UnknownObject;
        co_return result;
    }
    if (!pending.answer)
        co_await qCoro(&pending, &RemoteDesktopAnswer::answered, answerWait);
    if (pending.answer) {
        result.code = pending.answer->first;
        result.results = pending.answer->second;
    }
    co_return result;
}

QCoro::Task<void> RemoteDesktopKeystrokeSender::start(quint64 attempt)
{
    const QPointer<RemoteDesktopKeystrokeSender> self(this);
    const auto current = [&] { return self && m_attempt == attempt; };
    const QString storedToken = AppSettings::string(AppSettings::Keys::remoteDesktopRestoreToken).value_or(QString());
    const auto fail = [&](const Answer &answer, State failure) {
        // A token that led nowhere would only lead nowhere again.
        if (!storedToken.isEmpty())
            AppSettings::remove(AppSettings::Keys::remoteDesktopRestoreToken);
        closeSession();
        setState(answer.portalMissing ? State::noPortal : failure);
    };

    const QString createToken = newToken();
    QVariantMap createOptions = handleOptions(createToken);
    createOptions.insert(u"session_handle_token"_s, newToken());
    const Answer created
        = co_await request(u"CreateSession"_s, QVariantList() << createOptions, createToken, answerTimeout);
    if (!current())
        co_return;
    if (created.code != 0u) {
        fail(created, State::failed);
        co_return;
    }
    const QVariant handle = created.results.value(u"session_handle"_s);
    m_session = handle.canConvert<QDBusObjectPath>() ? handle.value<QDBusObjectPath>().path() : handle.toString();
    if (m_session.isEmpty()) {
        fail(created, State::failed);
        co_return;
    }
    m_bus.connect(portalService, m_session, sessionInterface, u"Closed"_s, this, SLOT(sessionClosed()));

    const QString selectToken = newToken();
    QVariantMap selectOptions = handleOptions(selectToken);
    selectOptions.insert(u"types"_s, keyboardDevice);
    selectOptions.insert(u"persist_mode"_s, persistUntilRevoked);
    if (!storedToken.isEmpty())
        selectOptions.insert(u"restore_token"_s, storedToken);
    const Answer selected
        = co_await request(u"SelectDevices"_s, sessionArguments(m_session, selectOptions), selectToken, answerTimeout);
    if (!current())
        co_return;
    if (selected.code != 0u) {
        fail(selected, State::failed);
        co_return;
    }

    // Here the desktop asks the user, unless the token spares it.
    const QString startToken = newToken();
    const Answer started = co_await request(u"Start"_s,
        QVariantList() << QVariant::fromValue(QDBusObjectPath(m_session)) << QString() << handleOptions(startToken),
        startToken, userAnswerTimeout);
    if (!current())
        co_return;
    const bool keyboard = started.results.value(u"devices"_s, keyboardDevice).toUInt() & keyboardDevice;
    if (started.code != 0u || !keyboard) {
        // Cancelled by the user is 1; no keyboard granted counts as the same answer.
        fail(started, started.code == 1u || (started.code == 0u && !keyboard) ? State::refused : State::failed);
        co_return;
    }
    const QString restoreToken = started.results.value(u"restore_token"_s).toString();
    if (!restoreToken.isEmpty())
        AppSettings::setString(AppSettings::Keys::remoteDesktopRestoreToken, restoreToken);
    qCInfo(lcInsertion) << "pasting through the desktop's remote-desktop portal";
    setState(State::active);
}

bool RemoteDesktopKeystrokeSender::sendPaste(PasteShortcut shortcut)
{
    if (m_state != State::active)
        return false;
    const std::vector<uint32_t> codes = pasteKeyCodes(shortcut);
    for (const uint32_t code : codes)
        notifyKey(code, KeyState::pressed);
    for (auto code = codes.rbegin(); code != codes.rend(); ++code)
        notifyKey(*code, KeyState::released);
    return m_bus.isConnected();
}

void RemoteDesktopKeystrokeSender::notifyKey(uint32_t code, KeyState state)
{
    // Sent without waiting: the bus keeps their order, and the paste's confirmation looks at the field.
    QDBusMessage call
        = QDBusMessage::createMethodCall(portalService, portalPath, remoteDesktopInterface, u"NotifyKeyboardKeycode"_s);
    call.setArguments(QVariantList() << QVariant::fromValue(QDBusObjectPath(m_session)) << QVariantMap() << int(code)
                                     << uint(state == KeyState::pressed ? 1 : 0));
    m_bus.send(call);
}

bool RemoteDesktopKeystrokeSender::reaches(const TextInsertionTarget &) const { return m_state == State::active; }

QString RemoteDesktopKeystrokeSender::unavailableReason()
{
    const bool tellFix = !std::exchange(m_fixTold, true);
    const QString toggle
        = u" Чтобы рабочий стол спросил снова, выключите и включите «Вставлять нажатием клавиш» в настройках."_s;
    switch (m_state) {
    case State::active:
        return {};
    case State::off:
        return u"Этот рабочий стол не даёт Ворсику вставить текст нажатием клавиш, а поле не принимает его напрямую."_s
            + (tellFix ? u" Можно разрешить Ворсику нажимать Ctrl+V: «Вставлять нажатием клавиш» в настройках."_s
                       : QString());
    case State::starting:
        return u"Рабочий стол ещё не ответил, можно ли Ворсику нажимать клавиши, а поле не принимает текст напрямую."_s;
    case State::noPortal:
        return u"Вставить текст нажатием клавиш нельзя: в системе нет портала удалённого рабочего стола "
               "(xdg-desktop-portal)."_s;
    case State::refused:
        return u"Вставить текст нажатием клавиш нельзя: рабочий стол не разрешил Ворсику управлять клавиатурой."_s
            + (tellFix ? toggle : QString());
    case State::failed:
        return u"Вставить текст нажатием клавиш нельзя: рабочий стол не открыл Ворсику управление клавиатурой."_s
            + (tellFix ? toggle : QString());
    case State::closed:
        return u"Вставить текст нажатием клавиш нельзя: рабочий стол прекратил управление клавиатурой Ворсиком."_s
            + (tellFix ? toggle : QString());
    }
    return {};
}

void RemoteDesktopKeystrokeSender::sessionClosed()
{
    qCWarning(lcInsertion) << "the desktop closed the remote-desktop session";
    m_session.clear();
    ++m_attempt;
    setState(State::closed);
}

void RemoteDesktopKeystrokeSender::setState(State state)
{
    if (state == m_state)
        return;
    m_state = state;
    Q_EMIT stateChanged(state);
}

void RemoteDesktopKeystrokeSender::closeSession()
{
    if (m_session.isEmpty())
        return;
    m_bus.disconnect(portalService, m_session, sessionInterface, u"Closed"_s, this, SLOT(sessionClosed()));
    m_bus.send(QDBusMessage::createMethodCall(portalService, m_session, sessionInterface, u"Close"_s));
    m_session.clear();
}

#include "remotedesktopkeystrokesender.moc"
