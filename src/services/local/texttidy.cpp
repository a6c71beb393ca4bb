#include "services/local/texttidy.h"

#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace {

bool isOpening(QChar character) { return QStringView(u"«\"'(„“[").contains(character); }
bool isClosing(QChar character) { return QStringView(u"»\"')“”]").contains(character); }
bool isWordPart(QChar character) { return character.isLetter() || character == u'-' || character == u'\''; }

// After these a sentence goes on: «т.е. немного», «см. рис. 5», «А. Синецкая».
bool isAbbreviation(QStringView word)
{
    static const QSet<QString> known = { u"см"_s, u"рис"_s, u"ул"_s, u"пр"_s, u"стр"_s, u"др"_s, u"им"_s, u"тел"_s,
        u"руб"_s, u"коп"_s, u"тыс"_s, u"млн"_s, u"млрд"_s, u"проф"_s, u"акад"_s, u"доц"_s, u"св"_s, u"ср"_s, u"напр"_s,
        u"табл"_s, u"гл"_s, u"изд"_s, u"ред"_s, u"пер"_s, u"обл"_s, u"каб"_s, u"кв"_s, u"корп"_s, u"etc"_s, u"e.g"_s,
        u"i.e"_s, u"vs"_s, u"mr"_s, u"mrs"_s, u"dr"_s };
    if (word.size() == 1 && word.front().isLetter())
        return true; // an initial, or «г.», «д.», «т.»
    // Letters with dots between them: «т.е», «т.д», «н.э», «А.С».
    static const QRegularExpression dotted(uR"(^(?:\p{L}{1,2}\.)+\p{L}{1,2}$)"_s);
    return known.contains(word.toString().toLower()) || dotted.match(word).hasMatch();
}

// A word that ends with . ? ! (before closing quotes) and is not an abbreviation.
bool endsSentence(QStringView token)
{
    while (!token.isEmpty() && isClosing(token.back()))
        token.chop(1);
    if (token.endsWith(u'?') || token.endsWith(u'!'))
        return true;
    if (!token.endsWith(u'.') || token.endsWith(u"…") || token.endsWith(u".."))
        return false;
    return !isAbbreviation(token.chopped(1));
}

// Upper-cases the token's first letter where the token is a word of lower-case letters,
// perhaps in quotes or followed by marks: never a file name, an address or a number.
void capitaliseWord(QString &text, qsizetype begin, qsizetype end)
{
    qsizetype letter = begin;
    while (letter < end && isOpening(text.at(letter)))
        ++letter;
    qsizetype after = letter;
    while (after < end && isWordPart(text.at(after)))
        ++after;
    if (after == letter || !text.at(letter).isLetter())
        return;
    for (qsizetype i = after; i < end; ++i) {
        if (text.at(i).isLetterOrNumber())
            return;
    }
    // A Latin word in Russian speech is a name or a term («git», «iPhone»): its case is its own.
    for (qsizetype i = letter; i < after; ++i) {
        if (text.at(i).isUpper() || text.at(i).script() == QChar::Script_Latin)
            return;
    }
    text[letter] = text.at(letter).toUpper();
}

} // namespace

QString TextTidy::spaces(const QString &text)
{
    static const QRegularExpression runs(u"[ \\t]+"_s);
    static const QRegularExpression beforeMark(u" (?=[,.?!:;…])"_s);
    static const QRegularExpression aroundBreak(u" *\\n *"_s);
    static const QRegularExpression emptyLines(u"\\n{3,}"_s);
    QString tidy = text;
    tidy.replace(runs, u" "_s).replace(beforeMark, QString()).replace(aroundBreak, u"\n"_s);
    tidy.replace(emptyLines, u"\n\n"_s);
    return tidy.trimmed();
}

QString TextTidy::capitaliseSentences(const QString &text)
{
    QString result = text;
    bool sentenceStart = true;
    qsizetype at = 0;
    while (at < result.size()) {
        if (result.at(at) == u'\n')
            sentenceStart = true;
        if (result.at(at).isSpace()) {
            ++at;
            continue;
        }
        qsizetype end = at;
        while (end < result.size() && !result.at(end).isSpace())
            ++end;
        if (sentenceStart)
            capitaliseWord(result, at, end);
        sentenceStart = endsSentence(QStringView(result).sliced(at, end - at));
        at = end;
    }
    return result;
}

QSet<QString> TextTidy::namesIn(QStringView text)
{
    static const QRegularExpression midSentence(uR"((?<=[\p{Ll}\p{N},] )\p{Lu}[\p{L}'-]*)"_s);
    QSet<QString> names;
    for (const QRegularExpressionMatch &match : midSentence.globalMatch(text))
        names.insert(match.captured());
    return names;
}

QString TextTidy::lowerFirstWord(const QString &piece, const QSet<QString> &names)
{
    qsizetype letter = 0;
    while (letter < piece.size() && (piece.at(letter).isSpace() || isOpening(piece.at(letter))))
        ++letter;
    qsizetype after = letter;
    while (after < piece.size() && isWordPart(piece.at(after)))
        ++after;
    if (after == letter || !piece.at(letter).isUpper())
        return piece;
    if (after < piece.size() && piece.at(after).isLetterOrNumber())
        return piece; // a word with a dot or a digit in it
    const QStringView word = QStringView(piece).sliced(letter, after - letter);
    for (qsizetype i = 0; i < word.size(); ++i) {
        if ((i > 0 && word.at(i).isUpper()) || word.at(i).script() == QChar::Script_Latin)
            return piece;
    }
    if (names.contains(word.toString()))
        return piece;
    QString lowered = piece;
    lowered[letter] = piece.at(letter).toLower();
    return lowered;
}
