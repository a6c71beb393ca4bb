#pragma once

#include "describederror.h"

// Why the microphone could not start. The sound server's own failures carry
// PulseAudio's description so the user sees what actually went wrong.
class AudioRecorderError : public DescribedError
{
public:
    enum class Case { noInputDevice, converterCreationFailed, soundServer };

    explicit AudioRecorderError(Case errorCase, QString message = {});

    static AudioRecorderError noInputDevice() { return AudioRecorderError(Case::noInputDevice); }
    static AudioRecorderError converterCreationFailed() { return AudioRecorderError(Case::converterCreationFailed); }
    static AudioRecorderError soundServer(QString message) { return AudioRecorderError(Case::soundServer, message); }

    static QString describe(Case errorCase, const QString &message);

    Case errorCase() const noexcept { return m_case; }
    const QString &message() const noexcept { return m_message; }

private:
    Case m_case;
    QString m_message;
};
