#pragma once

#include <QByteArray>

#include <coroutine>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

// An asynchronous stream of PCM chunks between the capture thread and a consumer
// coroutine on the main thread. The producer never blocks: when the consumer lags,
// only the newest `capacity` unread chunks are kept. Plain shared state rather
// than a QObject, so the capture thread may hold the last reference safely.
class BoundedChunkStream {
public:
    static constexpr std::size_t defaultCapacity = 120;

    explicit BoundedChunkStream(std::size_t capacity = defaultCapacity);

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

    std::size_t droppedCount() const;

private:
    std::optional<QByteArray> takeLocked();
    void wakeWaiter(std::unique_lock<std::mutex> &lock);

    const std::size_t m_capacity;
    mutable std::mutex m_mutex;
    std::deque<QByteArray> m_chunks;
    bool m_finished = false;
    std::size_t m_dropped = 0;
    std::coroutine_handle<> m_waiter;
};
