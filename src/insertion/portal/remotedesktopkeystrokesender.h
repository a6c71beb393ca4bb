#pragma once

#include "insertion/keystrokesender.h"

#include <QDBusConnection>
#include <QObject>
#include <QVariantMap>

#include <QCoro/QCoroTask>

#include <chrono>
#include <optional>

// The paste keystroke through the desktop's RemoteDesktop portal, for a desktop (GNOME) that offers
// a program no keyboard of its own. The user turns it on; the desktop then asks once whether this
// program may control the keyboard, and the token it gives back lets later starts skip the
// question. Only key codes are sent, so the paste works in any keyboard layout.
class RemoteDesktopKeystrokeSender final : public QObject, public AbstractKeystrokeSender {
    Q_OBJECT
public:
    enum class State { off, starting, active, noPortal, refused, failed, closed };
    Q_ENUM(State)

    static constexpr std::chrono::milliseconds answerTimeout { 5000 };
    // The question to the user waits this long for an answer.
    static constexpr std::chrono::minutes userAnswerTimeout { 5 };

    explicit RemoteDesktopKeystrokeSender(
        QDBusConnection bus = QDBusConnection::sessionBus(), QObject *parent = nullptr);
    ~RemoteDesktopKeystrokeSender() override;

    // On: a session is started, the desktop asking the user where no stored token spares it.
    // Off: the session is closed and no keystroke goes out.
    void setEnabled(bool enabled);
    State state() const { return m_state; }

    bool sendPaste(PasteShortcut shortcut) override;
    bool reaches(const TextInsertionTarget &target) const override;
    QString unavailableReason() override;
    // The Xwayland clipboard it pastes from does not reach a Wayland program that owns the clipboard
    // itself: that program would paste its own copy.
    bool forFieldsWithoutDirectInsertion() const override { return true; }

Q_SIGNALS:
    void stateChanged(RemoteDesktopKeystrokeSender::State state);

private Q_SLOTS:
    void sessionClosed();

private:
    struct Answer {
        // Nothing when the portal is not there to ask, or did not answer in time.
        std::optional<uint> code;
        QVariantMap results;
        bool portalMissing = false;
    };

    QCoro::Task<void> start(quint64 attempt);
    QCoro::Task<Answer> request(
        QString method, QVariantList arguments, QString handleToken, std::chrono::milliseconds answerWait);
    void setState(State state);
    void closeSession();
    enum class KeyState { released, pressed };
    void notifyKey(uint32_t code, KeyState state);

    QDBusConnection m_bus;
    State m_state = State::off;
    QString m_session;
    // Makes a start that is still waiting harmless once the user turned the path off or on again.
    quint64 m_attempt = 0;
    bool m_fixTold = false;
};
