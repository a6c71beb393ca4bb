#include "ui/wayland/notificationoverlay.h"

#include "core/logging.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QLabel>
#include <QVariantMap>
#include <QWidget>

using namespace Qt::StringLiterals;

namespace {

const QString service = u"org.freedesktop.Notifications"_s;
const QString path = u"/org/freedesktop/Notifications"_s;

QString labelText(const QWidget *panel, const QString &name)
{
    const auto *label = panel->findChild<QLabel *>(name);
    return label && label->isVisibleTo(panel) ? label->text() : QString();
}

} // namespace

NotificationOverlay::NotificationOverlay(QWidget *panel, QDBusConnection bus)
    : m_panel(panel)
    , m_bus(std::move(bus))
{
}

NotificationOverlay::~NotificationOverlay()
{
    m_inFlight = false; // no answer reaches this object any more
    hide();
}

void NotificationOverlay::show(PanelClicks)
{
    // Called before the panel changes: its texts are read once the change is made.
    QMetaObject::invokeMethod(this, &NotificationOverlay::send, Qt::QueuedConnection);
}

void NotificationOverlay::send()
{
    // Until the desktop names the notification shown, a new one could not replace it: the
    // change waits for the answer.
    if (m_inFlight) {
        m_resend = true;
        return;
    }
    const QString title = labelText(m_panel, u"titleLabel"_s);
    // A kept text comes along: the notification has no Copy, but the user can read it.
    const QString kept = labelText(m_panel, u"resultLabel"_s);
    const QString body = labelText(m_panel, u"transcriptLabel"_s) + (kept.isEmpty() ? QString() : u"\n\n"_s + kept);
    if (title.isEmpty() || title + u'\n' + body == m_lastText)
        return;
    m_lastText = title + u'\n' + body;
    QDBusMessage notify = QDBusMessage::createMethodCall(service, path, service, u"Notify"_s);
    notify.setArguments(
        { u"Ворсик"_s, m_shown, QString(), title, body, QStringList(), QVariantMap { { u"transient"_s, true } }, -1 });
    m_inFlight = true;
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(notify), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *answer) {
        answer->deleteLater();
        m_inFlight = false;
        const QDBusPendingReply<uint> reply = *answer;
        if (reply.isError())
            qCWarning(lcUI) << "overlay: the desktop shows no notification:" << reply.error().message();
        else
            m_shown = reply.value();
        if (std::exchange(m_resend, false))
            send();
        else if (m_lastText.isEmpty())
            hide(); // hidden while the desktop was answering
    });
}

void NotificationOverlay::hide()
{
    m_lastText.clear();
    m_resend = false;
    // A Notify under way: its answer closes the notification it names.
    if (m_inFlight || !m_shown)
        return;
    QDBusMessage close = QDBusMessage::createMethodCall(service, path, service, u"CloseNotification"_s);
    close.setArguments({ std::exchange(m_shown, 0u) });
    m_bus.asyncCall(close);
}
