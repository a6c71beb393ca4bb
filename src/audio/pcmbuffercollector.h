#pragma once

#include "core/abstractpcmcollector.h"

#include <QByteArray>

#include <mutex>

// Accumulates one whole recording; appended to from the capture thread, emptied
// once on the main thread.
class PCMBufferCollector final : public AbstractPCMCollector {
public:
    void append(const QByteArray &bytes) override;
    // Moves the storage out rather than copying it.
    QByteArray takeAll() override;

private:
    std::mutex m_lock;
    QByteArray m_storage;
};
