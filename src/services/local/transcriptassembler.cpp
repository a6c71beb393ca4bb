#include "transcriptassembler.h"

#include "hallucinationfilter.h"
#include "spokenpunctuation.h"
#include "texttidy.h"

using namespace Qt::StringLiterals;

TranscriptAssembler::TranscriptAssembler(Settings settings)
    : m_settings(std::move(settings))
{
}

void TranscriptAssembler::add(const std::vector<RecognisedSegment> &segments, std::chrono::milliseconds pauseBefore)
{
    const bool newParagraph = m_settings.paragraphsAtPauses && pauseBefore >= m_settings.paragraphPause;
    QString separator = newParagraph ? u"\n\n"_s : u" "_s;
    m_silenceAtEnd = true;
    for (const RecognisedSegment &segment : segments) {
        Piece piece { segment, m_pieces.empty() ? QString() : separator };
        piece.segment.text = segment.text.simplified();
        if (piece.segment.text.isEmpty() || HallucinationFilter::isInvented(piece.segment))
            continue;
        m_pieces.push_back(std::move(piece));
        m_silenceAtEnd = false;
        separator = u" "_s;
    }
}

QString TranscriptAssembler::text() const
{
    auto end = m_pieces.end();
    // A closing thanks heard in the silence that ended the recording.
    if (end != m_pieces.begin() && HallucinationFilter::isClosingThanks(std::prev(end)->segment)
        && (m_silenceAtEnd || HallucinationFilter::engineHeardSilence(std::prev(end)->segment)))
        --end;
    QStringList texts;
    for (auto piece = m_pieces.begin(); piece != end; ++piece)
        texts.append(piece->segment.text);
    QSet<QString> names = TextTidy::namesIn(texts.join(u'\n'));
    for (const QString &entry : m_settings.vocabulary) {
        for (const QString &word : entry.split(u' ', Qt::SkipEmptyParts))
            names.insert(word);
    }

    QString joined;
    for (auto piece = m_pieces.begin(); piece != end; ++piece) {
        const QString &text = piece->segment.text;
        const bool goesOn = piece->separator == u" " && !joined.isEmpty()
            && (QStringView(u",:;").contains(joined.back())
                || (m_settings.spokenPunctuation && SpokenPunctuation::endsWithClauseMark(joined)));
        joined += piece->separator;
        joined += goesOn ? TextTidy::lowerFirstWord(text, names) : text;
    }
    return m_settings.spokenPunctuation ? SpokenPunctuation::apply(joined, names) : joined;
}

PromptParts TranscriptAssembler::prompt() const
{
    // More than any engine reads of a prompt, so that the fitting never runs short.
    constexpr qsizetype recentLength = 2000;
    return { m_settings.vocabulary, m_settings.context, text().right(recentLength) };
}
