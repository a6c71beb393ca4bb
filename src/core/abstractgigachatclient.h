#pragma once

#include "core/enums.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <QCoro/QCoroTask>

// Returns the finished text or throws DescribedError with a user-facing description.
class AbstractGigaChatClient {
public:
    virtual ~AbstractGigaChatClient() = default;
    virtual QCoro::Task<QString> transcribeAndEdit(
        QByteArray pcmAudio, QString authorizationKey, SmartMode mode, QString context, QStringList vocabulary)
        = 0;
};
