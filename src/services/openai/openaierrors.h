#pragma once

#include "core/describederror.h"

enum class TranscriptionErrorCase { invalidURL, notConnected, invalidMessage, connectionLost };

// The live transcriber's error; its description is shown to the user unchanged.
class TranscriptionError : public CaseError<TranscriptionError, TranscriptionErrorCase> {
public:
    using CaseError::CaseError;

    static QString describe(Case errorCase, const QString &message);
};

enum class TextPolisherErrorCase { api, invalidURL, invalidResponse, emptyResponse };

class TextPolisherError : public CaseError<TextPolisherError, TextPolisherErrorCase> {
public:
    using CaseError::CaseError;

    static QString describe(Case errorCase, const QString &message);
};
