#pragma once

#include <QString>

// `verbulo --process-text [--mode verbatim|clean|structured]`: what a dictation on this
// computer makes of recognised text, for scripts and for checking a rule without a microphone.
// Standard input holds one recognised segment per line; an empty line stands for a long pause
// (a new stretch of speech, a new paragraph in `structured`), and one at the end for a
// recording that ended in silence. The text takes a dictation's own steps: TranscriptAssembler
// (invented lines, spoken punctuation as the settings say) and LocalCleanup for the mode; never
// an online editor. An empty `mode` is the one chosen in the settings. The text goes to
// standard output. Returns the exit status: 0, or 2 for an unknown mode, named on standard error.
int processTextCommand(const QString &mode);
