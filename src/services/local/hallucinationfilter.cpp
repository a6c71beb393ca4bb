#include "hallucinationfilter.h"

#include <QList>

#include <optional>
#include <utility>

using namespace Qt::StringLiterals;

namespace {

// Lower case, ё as е, every run of other characters as one space.
struct Normalised {
    QString text;
    QList<qsizetype> origin; // index in the original text of each character
};

Normalised normalise(const QString &text)
{
    Normalised result;
    bool gap = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar character = text.at(i);
        if (!character.isLetterOrNumber()) {
            gap = !result.text.isEmpty();
            continue;
        }
        if (gap) {
            result.text.append(u' ');
            result.origin.append(i);
            gap = false;
        }
        result.text.append(character == u'ё' || character == u'Ё' ? u'е' : character.toLower());
        result.origin.append(i);
    }
    return result;
}

// Lines whisper invents, normalised. The second value is how many more words (a name)
// may follow the phrase.
const std::pair<QString, int> phrases[] = {
    { u"продолжение следует"_s, 0 },
    { u"спасибо за просмотр"_s, 0 },
    { u"субтитры сделал"_s, 2 },
    { u"субтитры создавал"_s, 2 },
    { u"субтитры подогнал"_s, 2 },
    { u"субтитры делал"_s, 2 },
    { u"редактор субтитров"_s, 6 },
    { u"подпишись на канал"_s, 0 },
    { u"подписывайтесь на канал"_s, 0 },
    { u"ставьте лайки и подписывайтесь на канал"_s, 0 },
    { u"thank you for watching"_s, 0 },
    { u"thanks for watching"_s, 0 },
    { u"subtitles by the amara org community"_s, 0 },
    { u"please subscribe to my channel"_s, 0 },
    { u"like and subscribe"_s, 0 },
};

// Where a phrase ends the normalised text, the index in it where the phrase starts.
std::optional<qsizetype> trailingPhrase(const QString &text)
{
    for (const auto &[phrase, extraWords] : phrases) {
        for (qsizetype at = text.lastIndexOf(phrase); at >= 0; at = at > 0 ? text.lastIndexOf(phrase, at - 1) : -1) {
            if (at > 0 && text.at(at - 1) != u' ')
                continue;
            const qsizetype after = at + phrase.size();
            if (after < text.size() && text.at(after) != u' ')
                continue;
            const QString rest = text.mid(after).trimmed();
            if (rest.isEmpty() || rest.count(u' ') + 1 <= extraWords)
                return at;
            break; // an earlier match has even more words after it
        }
    }
    return std::nullopt;
}

} // namespace

QString HallucinationFilter::apply(const QString &text)
{
    QString result = text;
    for (;;) {
        const Normalised normalised = normalise(result);
        const std::optional<qsizetype> at = trailingPhrase(normalised.text);
        if (!at)
            return result;
        result.truncate(normalised.origin.at(*at));
        result = result.trimmed();
        // A dash or colon that led into the removed line goes with it.
        while (result.endsWith(u'-') || result.endsWith(u'—') || result.endsWith(u':'))
            result = result.chopped(1).trimmed();
    }
}
