#pragma once

#include "core/abstractkeychain.h"

#include <QString>

// `verbulo --transcribe FILE --server URL [--server-model NAME]`: recognises a WAV file on the
// server the way a dictation is, cut at pauses and sent stretch by stretch, with the settings'
// language, spoken punctuation, CA file and leave for plain HTTP, and the key from the keyring.
// For scripts and for checking a server. The text goes to standard output, a problem to
// standard error. Returns the exit status: 0, or 1 on failure.
int transcribeOnServerCommand(
    const QString &wavPath, const QString &serverURL, const QString &model, AbstractKeychain *keychain);
