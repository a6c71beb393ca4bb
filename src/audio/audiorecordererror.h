#pragma once

#include "core/describederror.h"

enum class AudioRecorderErrorCase { noInputDevice, converterCreationFailed, soundServer };

// Why the microphone could not start. The sound server's own failures carry
// PulseAudio's description so the user sees what actually went wrong.
class AudioRecorderError : public CaseError<AudioRecorderError, AudioRecorderErrorCase> {
public:
    using CaseError::CaseError;

    static AudioRecorderError noInputDevice() { return AudioRecorderError(Case::noInputDevice); }
    static AudioRecorderError converterCreationFailed() { return AudioRecorderError(Case::converterCreationFailed); }
    static AudioRecorderError soundServer(QString message) { return AudioRecorderError(Case::soundServer, message); }

    static QString describe(Case errorCase, const QString &message);
};
