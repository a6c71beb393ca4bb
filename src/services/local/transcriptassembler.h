#pragma once

#include "pausedetector.h"
#include "promptbudget.h"
#include "whispermodel.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <vector>

// Builds one dictation's text from the recognised stretches: whisper's invented credits go,
// pieces join with a space (or a paragraph break after a long pause, where asked for), and
// spoken punctuation is applied. Also writes the prompt for the next stretch.
class TranscriptAssembler {
public:
    struct Settings {
        bool spokenPunctuation = true;
        bool paragraphsAtPauses = false;
        std::chrono::milliseconds paragraphPause { 2000 };
        QStringList vocabulary;
        QString context; // what the dictation is about, in the user's words
    };

    explicit TranscriptAssembler(Settings settings);

    void add(const std::vector<WhisperSegment> &segments, std::chrono::milliseconds pauseBefore);
    // The text so far, as the user is to see it.
    QString text() const;
    // Vocabulary, context and the end of the text so far; the engine fits them into what
    // it reads of a prompt.
    PromptParts prompt() const;

private:
    Settings m_settings;
    QString m_raw;
};
