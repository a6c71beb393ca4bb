#include "services/local/localcleanup.h"

#include "services/local/texttidy.h"

#include <QRegularExpression>
#include <QSet>

#include <optional>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

struct Token {
    enum Kind { word, space, mark, lineBreak } kind;
    qsizetype begin;
    qsizetype end;
    bool removed = false;
};

bool isWordChar(QChar character) { return character.isLetterOrNumber() || character.isMark(); }

// Words keep what joins their parts: «тук-тук», «main.cpp», «3.5», «user@mail.ru».
std::vector<Token> tokenise(const QString &text)
{
    std::vector<Token> tokens;
    for (qsizetype at = 0; at < text.size();) {
        const QChar character = text.at(at);
        qsizetype end = at + 1;
        Token::Kind kind = Token::mark;
        if (character == u'\n') {
            kind = Token::lineBreak;
        } else if (character.isSpace()) {
            kind = Token::space;
            while (end < text.size() && text.at(end).isSpace() && text.at(end) != u'\n')
                ++end;
        } else if (isWordChar(character)) {
            kind = Token::word;
            while (end < text.size()
                && (isWordChar(text.at(end))
                    || (QStringView(u"-'’._/@:").contains(text.at(end)) && end + 1 < text.size()
                        && isWordChar(text.at(end + 1)))))
                ++end;
        }
        tokens.push_back({ kind, at, end });
        at = end;
    }
    return tokens;
}

// A filler and how sure it is one: hesitations always are; «ну», «вот», «типа», «как бы» and
// «мм» are words too and count only where set apart.
struct Filler {
    std::size_t first;
    std::size_t last; // token indices, «как бы» spans two words
    bool ambiguous;
    bool kept = false;
};

class Cleanup {
public:
    explicit Cleanup(const QString &text)
        : m_text(text)
        , m_tokens(tokenise(text))
        , m_fillerAt(m_tokens.size(), -1)
    {
        findFillers();
    }

    // The text without the fillers, or nothing when no word would be left.
    std::optional<QString> withoutFillers()
    {
        keepSentencesOfFillers();
        for (Filler &filler : m_fillers)
            remove(filler);
        QString result;
        bool anyWord = false;
        for (const Token &token : m_tokens) {
            if (token.removed)
                continue;
            anyWord = anyWord || token.kind == Token::word;
            result += QStringView(m_text).sliced(token.begin, token.end - token.begin);
        }
        if (!anyWord)
            return std::nullopt;
        return result;
    }

private:
    QStringView textOf(std::size_t index) const
    {
        return QStringView(m_text).sliced(m_tokens[index].begin, m_tokens[index].end - m_tokens[index].begin);
    }
    bool isMark(std::size_t index, QStringView marks) const
    {
        return m_tokens[index].kind == Token::mark && marks.contains(m_text.at(m_tokens[index].begin));
    }
    bool endsSentence(std::size_t index) const
    {
        return m_tokens[index].kind == Token::lineBreak || isMark(index, u".?!…");
    }
    QString lowerWord(std::size_t index) const
    {
        QString word = textOf(index).toString().toLower();
        word.replace(u'ё', u'е');
        return word;
    }

    // The nearest token on that side that is neither a space nor removed.
    std::optional<std::size_t> neighbour(std::size_t index, int step) const
    {
        for (auto at = qsizetype(index) + step; at >= 0 && at < qsizetype(m_tokens.size()); at += step) {
            if (m_tokens[at].kind != Token::space && !m_tokens[at].removed)
                return std::size_t(at);
        }
        return std::nullopt;
    }

    void findFillers()
    {
        static const QRegularExpression hesitation(uR"(^(?:э+(?:-э+)*м*|м{3,}|хм+)$)"_s);
        static const QSet<QString> ambiguous = { u"ну"_s, u"вот"_s, u"типа"_s, u"мм"_s };
        for (std::size_t i = 0; i < m_tokens.size(); ++i) {
            if (m_tokens[i].kind != Token::word)
                continue;
            const QString word = lowerWord(i);
            std::size_t last = i;
            if (word == u"как" && i + 2 < m_tokens.size() && m_tokens[i + 1].kind == Token::space
                && m_tokens[i + 2].kind == Token::word && lowerWord(i + 2) == u"бы")
                last = i + 2;
            else if (!hesitation.match(word).hasMatch() && !ambiguous.contains(word))
                continue;
            for (std::size_t t = i; t <= last; ++t)
                m_fillerAt[t] = int(m_fillers.size());
            m_fillers.push_back({ i, last, last > i || ambiguous.contains(word) });
            i = last;
        }
    }

    // A sentence of nothing but fillers is left alone where one of them can be a word («Вот.»,
    // «Вот, вот, вот»); one of hesitations only («Хм.») goes with its marks.
    void keepSentencesOfFillers()
    {
        std::size_t start = 0;
        while (start < m_tokens.size()) {
            std::size_t stop = start;
            while (stop < m_tokens.size() && !endsSentence(stop))
                ++stop;
            std::size_t end = stop; // past the marks that end it
            while (end < m_tokens.size() && m_tokens[end].kind == Token::mark && endsSentence(end))
                ++end;
            judgeSentence(start, stop, end);
            start = end == stop ? stop + 1 : end; // a line break ends a sentence and belongs to none
        }
    }

    void judgeSentence(std::size_t start, std::size_t stop, std::size_t end)
    {
        bool anyWord = false;
        bool anyAmbiguous = false;
        for (std::size_t t = start; t < stop; ++t) {
            if (m_tokens[t].kind != Token::word)
                continue;
            if (m_fillerAt[t] < 0)
                return;
            anyWord = true;
            anyAmbiguous = anyAmbiguous || m_fillers[m_fillerAt[t]].ambiguous;
        }
        if (!anyWord)
            return;
        for (std::size_t t = start; t < end; ++t) {
            if (m_fillerAt[t] >= 0)
                m_fillers[m_fillerAt[t]].kept = true;
            m_tokens[t].removed = !anyAmbiguous;
        }
    }

    void remove(Filler &filler)
    {
        if (filler.kept || m_tokens[filler.first].removed)
            return;
        const std::optional<std::size_t> left = neighbour(filler.first, -1);
        const std::optional<std::size_t> right = neighbour(filler.last, +1);
        const bool leftComma = left && isMark(*left, u",");
        const bool rightComma = right && isMark(*right, u",");
        const bool leftEdge = !left || endsSentence(*left);
        const bool rightEdge = !right || endsSentence(*right);
        if (filler.ambiguous && !((leftComma || leftEdge) && (rightComma || rightEdge)))
            return;
        for (std::size_t t = filler.first; t <= filler.last; ++t)
            m_tokens[t].removed = true;
        if (leftComma && rightComma) {
            // «я, типа, не знаю»: both commas were the filler's. One stays where a clause
            // follows («пришёл, ну, а он»), for the filler right after it to take, or where the
            // word before has a comma of its own («Да, ну, хорошо»).
            m_tokens[*right].removed = true;
            const std::optional<std::size_t> next = neighbour(*right, +1);
            m_tokens[*left].removed = !next || !(startsClause(*next) || opensSentence(*left));
        } else if (leftComma && rightEdge) {
            m_tokens[*left].removed = true;
        } else if (leftEdge && rightComma) {
            m_tokens[*right].removed = true;
        }
    }

    // Whether the comma at `index` follows a word said apart at a sentence's start: an answer,
    // an interjection, a call for attention.
    bool opensSentence(std::size_t comma) const
    {
        static const QSet<QString> apart
            = { u"да"_s, u"нет"_s, u"ага"_s, u"угу"_s, u"ладно"_s, u"хорошо"_s, u"окей"_s, u"так"_s, u"итак"_s,
                  u"значит"_s, u"короче"_s, u"кстати"_s, u"слушай"_s, u"смотри"_s, u"ой"_s, u"ох"_s, u"ах"_s, u"эх"_s };
        const std::optional<std::size_t> word = neighbour(comma, -1);
        if (!word || m_tokens[*word].kind != Token::word || !apart.contains(lowerWord(*word)))
            return false;
        const std::optional<std::size_t> before = neighbour(*word, -1);
        return !before || endsSentence(*before);
    }

    bool startsClause(std::size_t index) const
    {
        static const QSet<QString> conjunctions = { u"а"_s, u"но"_s, u"и"_s, u"или"_s, u"либо"_s, u"что"_s, u"чтобы"_s,
            u"если"_s, u"когда"_s, u"пока"_s, u"потому"_s, u"поэтому"_s, u"хотя"_s, u"однако"_s, u"зато"_s, u"где"_s,
            u"куда"_s, u"откуда"_s, u"почему"_s, u"зачем"_s, u"как"_s, u"чем"_s, u"будто"_s, u"словно"_s, u"ведь"_s,
            u"так"_s, u"который"_s, u"которая"_s, u"которое"_s, u"которые"_s };
        if (m_tokens[index].kind != Token::word)
            return false;
        if (m_fillerAt[index] >= 0)
            return !m_fillers[m_fillerAt[index]].kept;
        return conjunctions.contains(lowerWord(index));
    }

    const QString &m_text;
    std::vector<Token> m_tokens;
    std::vector<Filler> m_fillers;
    std::vector<int> m_fillerAt; // per token: the filler it is part of, or −1
};

// A short word said twice is a slip («я я пошёл»); any other repeat may be meant («нет нет
// нет», «да да», «очень очень», «тук тук») and stays, as does anything hyphenated.
QString removeSlips(const QString &text)
{
    static const QRegularExpression slip(
        uR"((?<![\p{L}\p{N}'-])(я|ты|он|она|оно|мы|вы|они|в|на|с|со|к|по|за|из|от|до|об|для|про|без|под|над|при|и|это)(?:[ \t]+\1)+(?![\p{L}\p{N}'-]))"_s,
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::UseUnicodePropertiesOption);
    QString result = text;
    return result.replace(slip, u"\\1"_s);
}

} // namespace

QString LocalCleanup::apply(const QString &text, SmartMode mode)
{
    if (mode == SmartMode::verbatim)
        return text;
    const std::optional<QString> cleaned = Cleanup(text).withoutFillers();
    // Nothing but fillers: the dictation is what was said, not an empty one.
    if (!cleaned)
        return TextTidy::spaces(text);
    return TextTidy::capitaliseSentences(TextTidy::spaces(removeSlips(*cleaned)));
}
