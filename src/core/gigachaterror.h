#pragma once

#include "describederror.h"

// The error of the whole GigaChat path; also raised by the WAV encoder for an
// over-long recording, whichever provider asked.
class GigaChatError : public DescribedError
{
public:
    enum class Case { network, api, invalidURL, missingKey, emptyAudio, audioTooLong, invalidResponse, emptyResponse,
                      certificateRequired };

    explicit GigaChatError(Case errorCase, QString message = {});

    static QString describe(Case errorCase, const QString &message);

    Case errorCase() const noexcept { return m_case; }
    const QString &message() const noexcept { return m_message; }

private:
    Case m_case;
    QString m_message;
};
