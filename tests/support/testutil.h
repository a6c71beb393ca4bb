#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QObject>
#include <QString>

#include <QCoro/QCoroSignal>
#include <QCoro/QCoroTask>

#include <chrono>
#include <functional>
#include <ostream>

// Lets gtest print QStrings in failure messages.
inline void PrintTo(const QString &text, std::ostream *out) { *out << '"' << text.toStdString() << '"'; }

namespace TestUtil {

// Log lines never carry a key, what a server sent back or what the user dictated. Tests
// put this marker into such texts; the test main fails the test that logs a line with it.
inline constexpr char16_t logCanary[] = u"ECHO-CANARY";

// Runs the event loop until `done` holds or `timeout` passes; returns whether it held.
inline bool runUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout = std::chrono::seconds(5))
{
    QDeadlineTimer deadline(timeout);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 10);
    }
    return true;
}

// Runs the event loop for `duration`, letting timers and queued calls fire.
inline void runFor(std::chrono::milliseconds duration)
{
    runUntil([] { return false; }, duration);
}

// Remove every stored setting of the program.
void clearSettings();

} // namespace TestUtil

// A gate a fake can wait on until the test opens it.
class Gate : public QObject {
    Q_OBJECT
public:
    bool isOpen() const { return m_open; }
    void open()
    {
        m_open = true;
        Q_EMIT opened();
    }
    QCoro::Task<> wait()
    {
        if (!m_open)
            co_await qCoro(this, &Gate::opened);
    }
Q_SIGNALS:
    void opened();

private:
    bool m_open = false;
};
