#pragma once

#include <QProcess>
#include <QString>

// A D-Bus session bus of the test's own, so tests that claim the program's name
// never meet each other or a running program.
class PrivateBus
{
public:
    PrivateBus()
    {
        m_daemon.start(QStringLiteral("dbus-daemon"),
                       {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        if (!m_daemon.waitForStarted(10'000))
            return;
        while (!m_daemon.canReadLine() && m_daemon.waitForReadyRead(10'000)) {
        }
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    }

    ~PrivateBus()
    {
        m_daemon.kill();
        m_daemon.waitForFinished(5'000);
    }

    PrivateBus(const PrivateBus &) = delete;
    PrivateBus &operator=(const PrivateBus &) = delete;

    // Empty when the daemon did not start.
    const QString &address() const { return m_address; }

private:
    QProcess m_daemon;
    QString m_address;
};
