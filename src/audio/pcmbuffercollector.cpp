#include "audio/pcmbuffercollector.h"

#include <algorithm>

void PCMBufferCollector::append(const QByteArray &bytes)
{
    std::lock_guard guard(m_lock);
    // Grow in small steps rather than doubling: a long recording would otherwise
    // hold up to twice its size. Large blocks are re-mapped, not copied, so the
    // extra reallocations stay cheap on the capture thread.
    const qsizetype needed = m_storage.size() + bytes.size();
    if (needed > m_storage.capacity()) {
        constexpr qsizetype step = 1 << 20;
        m_storage.reserve(needed + std::max(step, m_storage.size() / 16));
    }
    m_storage.append(bytes);
}

QByteArray PCMBufferCollector::takeAll()
{
    std::lock_guard guard(m_lock);
    return std::exchange(m_storage, QByteArray());
}
