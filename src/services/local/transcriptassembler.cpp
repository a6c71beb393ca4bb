#include "transcriptassembler.h"

#include "hallucinationfilter.h"
#include "spokenpunctuation.h"

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype promptLength = 600;
constexpr qsizetype promptHeadLength = 300; // vocabulary and context, before the text

} // namespace

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

QString TranscriptAssembler::prompt() const
{
    QStringList head;
    if (!m_settings.vocabulary.isEmpty())
        head.append(m_settings.vocabulary.join(u", "_s) + u'.');
    if (!m_settings.context.trimmed().isEmpty())
        head.append(m_settings.context.trimmed());
    const QString start = head.join(u' ').left(promptHeadLength);
    const QString sofar = text().right(promptLength - start.size()).simplified();
    return (start + u' ' + sofar).trimmed();
}
