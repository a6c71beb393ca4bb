#pragma once

#include "core/describederror.h"

enum class GigaChatErrorCase {
    network,
    api,
    invalidURL,
    missingKey,
    emptyAudio,
    audioTooLong,
    invalidResponse,
    emptyResponse,
    certificateRequired
};

// The error of the whole GigaChat path.
class GigaChatError : public CaseError<GigaChatError, GigaChatErrorCase> {
public:
    using CaseError::CaseError;

    static QString describe(Case errorCase, const QString &message);
};
