#pragma once

#include <cstdio>

#include <QString>

// `verbulo --transcribe FILE --model PATH`: recognises a PCM WAV file (any rate, channels
// and sample format readWav() takes) the way a dictation is, cut at pauses, with the same
// filters and the settings' language and spoken punctuation. The text goes to standard
// output, a problem to standard error. Returns the exit status: 0, or 1 on failure.
int transcribeFileCommand(const QString &wavPath, const QString &modelPath);

// One line of text on a standard stream, UTF-8, flushed: the transcribe commands' output.
void printLine(FILE *stream, const QString &text);
