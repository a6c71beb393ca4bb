#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <algorithm>

// Ticks on every turn of the event loop and keeps the longest gap between two: how long the
// thread it runs on was held up. The desktop sessions fail a dictation above the limit.
class StallMeter {
public:
#if defined(__SANITIZE_ADDRESS__)
    // Every step runs two to three times slower under the sanitizers; a real wait on another
    // process (seconds) still shows.
    static constexpr double limitMilliseconds = 150.0;
#else
    static constexpr double limitMilliseconds = 50.0;
#endif

    StallMeter()
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            m_longest = std::max(m_longest, m_sinceTick.nsecsElapsed());
            m_sinceTick.restart();
        });
        m_sinceTick.start();
        m_timer.start(0);
    }
    // The gap still open counts too: a block just before the question has had no tick after it.
    double longestMilliseconds() const { return double(std::max(m_longest, m_sinceTick.nsecsElapsed())) / 1e6; }

private:
    QTimer m_timer;
    QElapsedTimer m_sinceTick;
    qint64 m_longest = 0;
};
