#pragma once

#include "core/enums.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <QCoro/QCoroTask>

// The program's own backend. Returns the finished text or throws DescribedError with a
// user-facing description.
class AbstractVorsikAPIClient {
public:
    virtual ~AbstractVorsikAPIClient() = default;
    virtual QCoro::Task<QString> transcribeAndEdit(
        QByteArray pcmAudio, SmartMode mode, QString context, QStringList vocabulary)
        = 0;
    // An upload is coming: get ready for it while the user speaks. Never fails;
    // whatever is not ready by then the upload does itself.
    virtual void warmUp() { }
};
