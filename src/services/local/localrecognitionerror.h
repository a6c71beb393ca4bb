#pragma once

#include "core/describederror.h"

enum class LocalRecognitionErrorCase {
    modelMissing, // no file at the chosen path
    modelUnreadable, // not a model file, truncated or damaged
    modelUnsupported, // a model of a kind the program does not run
    notEnoughMemory,
    engineMissing, // the CPU code of the engine was not found beside the program
    recognitionFailed,
    languageUnsupported, // the model does not know the chosen language of speech
    audioUnreadable, // a file to transcribe; the message says why
};

// Recognition on this computer; the description is shown to the user unchanged.
class LocalRecognitionError : public CaseError<LocalRecognitionError, LocalRecognitionErrorCase> {
public:
    using CaseError::CaseError;

    static QString describe(Case errorCase, const QString &message);
};
