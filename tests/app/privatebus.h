#pragma once

#include <QProcess>
#include <QTemporaryDir>

// A D-Bus session bus of the test's own, so tests that claim the program's name never meet each
// other or a running program. Its runtime directory is its own too: services it activates must not
// replace the sockets of the headless session other tests use.
class PrivateBus {
public:
    PrivateBus()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtimeDir.path());
        m_daemon.setProcessEnvironment(environment);
        m_daemon.start(QStringLiteral("dbus-daemon"),
            { QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1") });
        while (m_daemon.waitForStarted(10'000) && !m_daemon.canReadLine() && m_daemon.waitForReadyRead(10'000)) { }
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed(); // empty when the daemon did not start
    }
    ~PrivateBus()
    {
        m_daemon.kill();
        m_daemon.waitForFinished(5'000);
    }
    const QString &address() const { return m_address; }

private:
    QTemporaryDir m_runtimeDir;
    QProcess m_daemon;
    QString m_address;
};
