#include "pcmbuffercollector.h"

void PCMBufferCollector::append(const QByteArray &bytes)
{
    std::lock_guard guard(m_lock);
    m_storage.append(bytes);
}

QByteArray PCMBufferCollector::takeAll()
{
    std::lock_guard guard(m_lock);
    return std::exchange(m_storage, QByteArray());
}
