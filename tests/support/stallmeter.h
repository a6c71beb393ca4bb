#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <algorithm>

// Ticks on every turn of the event loop and keeps the longest gap between two: how long the
// thread it runs on was held up. The desktop sessions fail a dictation above the limit.
class StallMeter {
public:
    // What the tests catch is a wait on another process, which holds the thread for seconds (a
    // round trip to a stopped compositor never ends). The limit stands above what a loaded
    // two-core machine and the sanitizers add to a turn (seen up to 104 ms); the benchmarks
    // report the figures themselves.
    static constexpr double limitMilliseconds = 150.0;

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
