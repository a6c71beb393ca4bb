#include "services/local/transcriptassembler.h"

#include "services/local/hallucinationfilter.h"
#include "services/local/spokenpunctuation.h"
#include "services/local/texttidy.h"

using namespace Qt::StringLiterals;

namespace {

// Whether `text` stops on a word no sentence ends on («для», «и», «если», «, что»): the
// speaker paused in mid-sentence and the full stop after it, if any, is the engine's, put
// because its call ended there. Whatever the pause, for a cut made for length falls at the
// quietest moment, as often as not a real sentence end, and only the words tell them apart.
bool stopsMidSentence(QStringView text)
{
    static const QSet<QString> leading = { u"и"_s, u"а"_s, u"но"_s, u"или"_s, u"либо"_s, u"чтобы"_s, u"если"_s, u"во"_s,
        u"со"_s, u"ко"_s, u"по"_s, u"из"_s, u"от"_s, u"об"_s, u"обо"_s, u"для"_s, u"про"_s, u"без"_s, u"под"_s,
        u"над"_s, u"при"_s, u"через"_s, u"между"_s, u"перед"_s };
    if (text.endsWith(u'.'))
        text.chop(1);
    qsizetype start = text.size();
    while (start > 0 && text.at(start - 1).isLetter())
        --start;
    const QString word = text.sliced(start).toString().toLower();
    if (word == u"что") // «Я думаю, что», not «Ну и что»
        return text.first(start).trimmed().endsWith(u',');
    return (start == 0 || !text.at(start - 1).isPunct()) && leading.contains(word);
}

} // namespace

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
        const bool cutShort = piece->separator == u" " && stopsMidSentence(joined);
        if (cutShort && joined.endsWith(u'.') && !joined.endsWith(u".."))
            joined.chop(1);
        const bool goesOn = piece->separator == u" " && !joined.isEmpty()
            && (cutShort || QStringView(u",:;").contains(joined.back())
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
