#include "core/boundedchunkstream.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <algorithm>

namespace {

std::chrono::milliseconds duration(qint64 bytes)
{
    return std::chrono::milliseconds(bytes * 1000 / AbstractAudioRecorder::bytesPerSecond);
}

} // namespace

BoundedChunkStream::BoundedChunkStream(qsizetype capacity)
    : m_capacity(std::max<qsizetype>(capacity, 1))
{
}

void BoundedChunkStream::yield(QByteArray chunk)
{
    std::unique_lock lock(m_mutex);
    if (m_finished)
        return;
    while (!m_chunks.empty() && m_unread + chunk.size() > m_capacity) {
        const qsizetype dropped = m_chunks.front().size();
        if (!m_dropped)
            m_dropped = Dropped { m_recorded - m_unread };
        m_dropped->bytes += dropped;
        ++m_dropped->chunks;
        m_unread -= dropped;
        m_chunks.pop_front();
    }
    m_unread += chunk.size();
    m_recorded += chunk.size();
    m_chunks.push_back(std::move(chunk));
    wakeWaiter(lock);
}

void BoundedChunkStream::finish()
{
    std::unique_lock lock(m_mutex);
    m_finished = true;
    wakeWaiter(lock);
}

std::optional<AudioLoss> BoundedChunkStream::takeLoss()
{
    std::lock_guard lock(m_mutex);
    const std::optional<Dropped> dropped = std::exchange(m_dropped, std::nullopt);
    if (!dropped)
        return std::nullopt;
    return AudioLoss { duration(dropped->from), duration(dropped->bytes), dropped->chunks };
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
    m_unread -= chunk.size();
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
