#pragma once

#include "core/enums.h"

#include <QString>
#include <QStringList>

#include <QCoro/QCoroTask>

// The editing of a transcript by a language model. Throws DescribedError when it fails.
class AbstractTextPolisher {
public:
    virtual ~AbstractTextPolisher() = default;
    virtual QCoro::Task<QString> polish(QString text, SmartMode mode, TextPolisher::Quality quality, QString context,
        QStringList vocabulary, QString apiKey)
        = 0;
};
