#pragma once

#include "core/describederror.h"

enum class RecognitionServerErrorCase {
    badAddress,
    unencrypted,
    caFileUnreadable,
    noModel,
    unreachable,
    untrusted,
    connectionLost,
    unauthorized,
    unknownModel,
    tooLarge,
    busy,
    serverFailed,
    badAnswer,
    tooSlow,
};

// What went wrong with the recognition server, in words for the user. The message carries
// the server's address, a model name or an HTTP status; never the key nor what the server
// sent back.
class RecognitionServerError : public CaseError<RecognitionServerError, RecognitionServerErrorCase> {
public:
    using CaseError::CaseError;

    static QString describe(Case errorCase, const QString &message);
    // The next stretches would fail alike (no server, a refused key, an unknown model): the
    // dictation ends with what was recognised. Otherwise only that stretch is lost.
    bool endsDictation() const;
};
