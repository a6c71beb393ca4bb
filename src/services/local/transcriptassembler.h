#pragma once

#include "services/local/pausedetector.h"
#include "services/local/promptbudget.h"
#include "services/local/recognitionmodel.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <vector>

// Builds one dictation's text from the recognised stretches: segments the engine invented
// go, the rest join with a space (or a paragraph break after a long pause, where asked for),
// and spoken punctuation is applied. A stretch that follows a comma or colon, or a word no
// sentence ends on («что.», «и.», «для.»: the stop is the engine's), goes on the same sentence,
// so the capital the recogniser put at its start goes unless it is a name. Also writes the
// prompt for the next stretch.
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

    // One stretch's segments (none where nothing was heard in it) and the silence before it.
    void add(const std::vector<RecognisedSegment> &segments, std::chrono::milliseconds pauseBefore);
    // The text so far, as the user is to see it.
    QString text() const;
    // Vocabulary, context and the end of the text so far; the engine fits them into what
    // it reads of a prompt.
    PromptParts prompt() const;

private:
    struct Piece {
        RecognisedSegment segment;
        QString separator; // before it
    };

    Settings m_settings;
    std::vector<Piece> m_pieces;
    bool m_silenceAtEnd = false; // the last stretch held nothing but silence or invented lines
};
