#pragma once

#include "core/abstractaudiorecorder.h"

#include <QByteArray>

#include <chrono>
#include <coroutine>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

// Recorded audio the consumer did not take in time and that was dropped.
struct AudioLoss {
    std::chrono::milliseconds from {}; // into the recording
    std::chrono::milliseconds length {};
    std::size_t chunks = 0;
};

// An asynchronous stream of the recording's PCM chunks between the capture thread and a
// consumer coroutine on the main thread. The producer never blocks: while the consumer
// lags, unread audio piles up to `capacity` bytes; past that the oldest goes, and
// takeLoss() tells where. Plain shared state rather than a QObject, so the capture
// thread may hold the last reference safely.
class BoundedChunkStream {
public:
    // Five minutes of the recording: more than the main thread ever stands still.
    static constexpr qsizetype defaultCapacity = 5 * 60 * AbstractAudioRecorder::bytesPerSecond;

    explicit BoundedChunkStream(qsizetype capacity = defaultCapacity);

    // Producer side, any thread. Chunks yielded after finish() are ignored.
    void yield(QByteArray chunk);
    void finish();

    // Consumer side, main thread: the next chunk in order, or none once the stream
    // is finished and drained.
    class NextAwaiter {
    public:
        explicit NextAwaiter(BoundedChunkStream &stream)
            : m_stream(stream)
        {
        }
        bool await_ready();
        bool await_suspend(std::coroutine_handle<> waiter);
        std::optional<QByteArray> await_resume();

    private:
        BoundedChunkStream &m_stream;
    };
    NextAwaiter next() { return NextAwaiter(*this); }

    // What was dropped since the last call, as one stretch; none when nothing was.
    std::optional<AudioLoss> takeLoss();

private:
    std::optional<QByteArray> takeLocked();
    void wakeWaiter(std::unique_lock<std::mutex> &lock);

    struct Dropped {
        qint64 from = 0; // bytes into the recording
        qint64 bytes = 0;
        std::size_t chunks = 0;
    };

    const qsizetype m_capacity;
    std::mutex m_mutex;
    std::deque<QByteArray> m_chunks;
    qsizetype m_unread = 0; // bytes in m_chunks
    qint64 m_recorded = 0; // bytes yielded so far, dropped ones included
    bool m_finished = false;
    std::optional<Dropped> m_dropped;
    std::coroutine_handle<> m_waiter;
};
