#pragma once

#include "input/fnkeysource.h"

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QVariantMap>

#include <QCoro/QCoroTask>

#include <chrono>
#include <optional>

// One answer of the portal to a request, kept until it is awaited: it may come before that.
class PortalRequest : public QObject {
    Q_OBJECT
public:
    std::optional<std::pair<uint, QVariantMap>> answer;
public Q_SLOTS:
    void respond(uint code, const QVariantMap &results);
Q_SIGNALS:
    void answered();
};

// The desktop's own shortcut through the GlobalShortcuts portal: the user binds "Диктовка" in the
// desktop's settings, and holding it counts as holding Fn. Where no portal offers it the source
// stays silent and the next trigger serves.
class PortalShortcutSource final : public FnKeySource {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds answerTimeout { 5000 };
    // The desktop may ask the user to confirm the shortcut before the portal answers.
    static constexpr std::chrono::minutes userAnswerTimeout { 5 };
    static inline const QString shortcutId = QStringLiteral("dictation");
    // The basename of the program's .desktop file: what the portal files the shortcut under.
    static inline const QString appId = QStringLiteral("com.plumrest.Vorsik");

    // `bus`: a connection that has made no portal call yet, or the portal may not take the application id.
    explicit PortalShortcutSource(QDBusConnection bus = QDBusConnection::sessionBus(), QObject *parent = nullptr);

    void start() override;
    Kind kind() const override { return Kind::desktopShortcut; }
    bool isBound() const { return !m_session.isEmpty(); }

Q_SIGNALS:
    // The portal took the shortcut: from now on it is a trigger.
    void bound();

private Q_SLOTS:
    void activated(
        const QDBusObjectPath &session, const QString &shortcut, qulonglong timestamp, const QVariantMap &options);
    void deactivated(
        const QDBusObjectPath &session, const QString &shortcut, qulonglong timestamp, const QVariantMap &options);
    void portalOwnerChanged(const QString &name, const QString &previousOwner, const QString &newOwner);

private:
    QCoro::Task<void> run();
    // True once the portal holds the shortcut.
    QCoro::Task<bool> bind();
    // Calls a portal method that answers through a request object: its results, or nothing.
    QCoro::Task<std::optional<QVariantMap>> request(
        const QString &method, QVariantList arguments, const QString &token);

    QDBusConnection m_bus;
    QString m_session;
};
