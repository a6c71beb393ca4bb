#include "transcriptassembler.h"

#include "hallucinationfilter.h"
#include "spokenpunctuation.h"

using namespace Qt::StringLiterals;

TranscriptAssembler::TranscriptAssembler(Settings settings)
    : m_settings(std::move(settings))
{
}

void TranscriptAssembler::add(const std::vector<WhisperSegment> &segments, std::chrono::milliseconds pauseBefore)
{
    QStringList parts;
    for (const WhisperSegment &segment : segments)
        parts.append(segment.text);
    const QString piece = HallucinationFilter::apply(parts.join(u' ').simplified());
    if (piece.isEmpty())
        return;
    if (!m_raw.isEmpty())
        m_raw += m_settings.paragraphsAtPauses && pauseBefore >= m_settings.paragraphPause ? u"\n\n"_s : u" "_s;
    m_raw += piece;
}

QString TranscriptAssembler::text() const
{
    const QString text = HallucinationFilter::apply(m_raw);
    return m_settings.spokenPunctuation ? SpokenPunctuation::apply(text) : text;
}

PromptParts TranscriptAssembler::prompt() const
{
    // More than any engine reads of a prompt, so that the fitting never runs short.
    constexpr qsizetype recentLength = 2000;
    return { m_settings.vocabulary, m_settings.context, text().right(recentLength) };
}
