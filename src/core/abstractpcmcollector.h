#pragma once

#include <QByteArray>

// Thread-safe accumulator of one whole recording.
class AbstractPCMCollector {
public:
    virtual ~AbstractPCMCollector() = default;
    virtual void append(const QByteArray &bytes) = 0;
    virtual QByteArray takeAll() = 0;
};
