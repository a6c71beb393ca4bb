#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHash>
#include <QProcess>
#include <QProcessEnvironment>

#include <csignal>
#include <utility>

// One running copy of tests/support/insertiontargetwindow, driven over its standard input.
class TargetApplication {
public:
    // `changes` adds to the environment.
    explicit TargetApplication(const QString &program, const QHash<QString, QString> &changes = {})
    {
        using namespace Qt::StringLiterals;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
        environment.insert(u"QT_LINUX_ACCESSIBILITY_ALWAYS_ON"_s, u"1"_s);
        for (auto it = changes.cbegin(); it != changes.cend(); ++it)
            environment.insert(it.key(), it.value());
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(program, {});
    }
    ~TargetApplication()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(m_process.processId()), SIGCONT);
        m_process.write("quit\n");
        if (!m_process.waitForFinished(5000))
            killNow();
    }

    qint32 pid() const { return qint32(m_process.processId()); }

    void killNow()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    // Sends a command and waits for the answer line that starts with `expected`.
    QByteArray ask(const QByteArray &command, const QByteArray &expected)
    {
        if (!command.isEmpty())
            m_process.write(command + '\n');
        QDeadlineTimer deadline(std::chrono::seconds(20));
        while (!deadline.hasExpired() && m_process.state() != QProcess::NotRunning) {
            while (m_process.canReadLine()) {
                const QByteArray line = m_process.readLine().trimmed();
                if (line.startsWith(expected))
                    return line;
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 10);
        }
        return {};
    }

    QString text(const QByteArray &window)
    {
        const QByteArray line = ask("text " + window, "text " + window);
        return QString::fromUtf8(QByteArray::fromBase64(line.split(' ').value(2)));
    }

    std::pair<QByteArray, QByteArray> clipboard()
    {
        const QList<QByteArray> words = ask("clipboard", "clipboard").split(' ');
        return { QByteArray::fromBase64(words.value(1)), QByteArray::fromBase64(words.value(2)) };
    }

    void copy(const QByteArray &plain, const QByteArray &html)
    {
        ask("copy " + plain.toBase64() + ' ' + html.toBase64(), "copied");
    }

private:
    QProcess m_process;
};
