#pragma once

#include "describederror.h"

enum class LocalRecognitionErrorCase {
    modelMissing, // no file at the chosen path
    modelUnreadable, // not a whisper model, truncated or damaged
    notEnoughMemory,
    engineMissing, // the CPU code of the engine was not found beside the program
    recognitionFailed,
    audioUnreadable, // a file to transcribe; the message says why
};

// Recognition on this computer; the description is shown to the user unchanged.
class LocalRecognitionError : public CaseError<LocalRecognitionError, LocalRecognitionErrorCase> {
public:
    using CaseError::CaseError;

    static QString describe(Case errorCase, const QString &message);
};
