#include "services/local/hallucinationfilter.h"

#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace {

// The test whisper's authors apply to a window of silence: a no-speech probability above 0.6
// while the decoded words average a log-probability below −1. A mean of probabilities is never
// below their geometric mean, so a mean below e^−1 ≈ 0.37 drops only what that test drops:
// real speech the engine was unsure of (a noisy room, a small model) stays.
constexpr float noSpeechAbove = 0.6f;
constexpr float wordsGuessedBelow = 0.37f;

// Lower case, ё as е, every run of other characters as one space.
QString normalised(const QString &text)
{
    QString result;
    result.reserve(text.size());
    for (const QChar character : text) {
        if (!character.isLetterOrNumber()) {
            if (!result.isEmpty() && !result.endsWith(u' '))
                result.append(u' ');
            continue;
        }
        result.append(character == u'ё' || character == u'Ё' ? u'е' : character.toLower());
    }
    return result.trimmed();
}

} // namespace

bool HallucinationFilter::engineHeardSilence(const RecognisedSegment &segment)
{
    return segment.noSpeechProbability > noSpeechAbove;
}

bool HallucinationFilter::isInvented(const RecognisedSegment &segment)
{
    if (engineHeardSilence(segment) && segment.averageTokenProbability < wordsGuessedBelow)
        return true;
    // Lines seen in subtitles, normalised; a name of a few words may follow the credits.
    static const QRegularExpression credits(
        uR"(^(?:продолжение следует|(?:спасибо|благодарю) за просмотр)"
        uR"(|(?:подпишись|подпишитесь|подписывайтесь) на (?:наш )?канал(?: и)?(?: ставьте лайки)?)"
        uR"(|ставьте лайки и подписывайтесь на (?:наш )?канал)"
        uR"(|субтитры (?:сделал|создавал|создал|подогнал|делал|подготовил|предоставил)а?(?: \S+){0,3})"
        uR"(|(?:редактор|корректор) субтитров(?: \S+){0,6})"
        uR"(|thanks? (?:you )?for watching|subtitles by the amara org community)"
        uR"(|please subscribe to my channel|like and subscribe)$)"_s);
    // Only sound labels: «[музыка]», «(аплодисменты)», «♪».
    static const QRegularExpression labels(uR"(^(?:\s*(?:\[[^\]]*\]|\([^)]*\)|[♪♫]))+\s*$)"_s);
    return credits.match(normalised(segment.text)).hasMatch() || labels.match(segment.text).hasMatch();
}

bool HallucinationFilter::isClosingThanks(const RecognisedSegment &segment)
{
    const QString text = normalised(segment.text);
    return text == u"спасибо за внимание" || text == u"благодарю за внимание";
}
