#include "boundedchunkstream.h"

#include "logging.h"

#include <QCoreApplication>
#include <QMetaObject>

BoundedChunkStream::BoundedChunkStream(std::size_t capacity)
    : m_capacity(capacity == 0 ? 1 : capacity)
{
}

void BoundedChunkStream::yield(QByteArray chunk)
{
    std::unique_lock lock(m_mutex);
    if (m_finished)
        return;
    if (m_chunks.size() >= m_capacity) {
        m_chunks.pop_front();
        // Counted in powers of two so a long stall does not flood the log.
        ++m_dropped;
        if ((m_dropped & (m_dropped - 1)) == 0)
            qCWarning(lcCore) << "audio stream full:" << m_dropped << "chunks dropped";
    }
    m_chunks.push_back(std::move(chunk));
    wakeWaiter(lock);
}

void BoundedChunkStream::finish()
{
    std::unique_lock lock(m_mutex);
    m_finished = true;
    wakeWaiter(lock);
}

std::size_t BoundedChunkStream::droppedCount() const
{
    std::lock_guard lock(m_mutex);
    return m_dropped;
}

void BoundedChunkStream::wakeWaiter(std::unique_lock<std::mutex> &lock)
{
    const std::coroutine_handle<> waiter = std::exchange(m_waiter, nullptr);
    lock.unlock();
    if (!waiter)
        return;
    // The consumer lives on the main thread; resume it there, never on the producer's thread.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [waiter] { waiter.resume(); }, Qt::QueuedConnection);
}

std::optional<QByteArray> BoundedChunkStream::takeLocked()
{
    if (m_chunks.empty())
        return std::nullopt;
    QByteArray chunk = std::move(m_chunks.front());
    m_chunks.pop_front();
    return chunk;
}

bool BoundedChunkStream::NextAwaiter::await_ready()
{
    std::lock_guard lock(m_stream.m_mutex);
    return !m_stream.m_chunks.empty() || m_stream.m_finished;
}

bool BoundedChunkStream::NextAwaiter::await_suspend(std::coroutine_handle<> waiter)
{
    std::lock_guard lock(m_stream.m_mutex);
    if (!m_stream.m_chunks.empty() || m_stream.m_finished)
        return false; // something arrived in between: carry on without suspending
    m_stream.m_waiter = waiter;
    return true;
}

std::optional<QByteArray> BoundedChunkStream::NextAwaiter::await_resume()
{
    std::lock_guard lock(m_stream.m_mutex);
    return m_stream.takeLocked();
}
