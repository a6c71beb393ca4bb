#include "localcleanup.h"

#include "texttidy.h"

#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace {

bool atSentenceEdge(QStringView side)
{
    const QStringView trimmed = side.trimmed();
    return trimmed.isEmpty() || trimmed.endsWith(u'.') || trimmed.endsWith(u'?') || trimmed.endsWith(u'!')
        || trimmed.endsWith(u'\n') || side.endsWith(u'\n');
}

bool startsSentenceEdge(QStringView side)
{
    const QStringView trimmed = side.trimmed();
    return trimmed.isEmpty() || trimmed.startsWith(u'.') || trimmed.startsWith(u'?') || trimmed.startsWith(u'!')
        || side.startsWith(u'\n');
}

QString removeFillers(const QString &text)
{
    static const QRegularExpression filler(
        uR"((,?)[ \t]*(?<![\p{L}\p{N}-])(э+м*|м{2,}|хм+|ну|вот|как бы|типа)(?![\p{L}\p{N}-])[ \t]*(,?))"_s,
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::UseUnicodePropertiesOption);
    QString result;
    qsizetype copied = 0;
    for (const QRegularExpressionMatch &match : filler.globalMatch(text)) {
        const QString word = match.captured(2).toLower();
        const QStringView preceding = QStringView(text).left(match.capturedStart());
        // The comma before may have gone with the filler just before this one.
        const bool commaBefore = !match.captured(1).isEmpty() || preceding.trimmed().endsWith(u',');
        const bool commaAfter = !match.captured(3).isEmpty();
        const QStringView following = QStringView(text).mid(match.capturedEnd());
        const bool ambiguous = word == u"ну" || word == u"вот" || word == u"как бы" || word == u"типа";
        const bool apart = (commaBefore || atSentenceEdge(preceding)) && (commaAfter || startsSentenceEdge(following));
        if (ambiguous && !apart)
            continue;
        result += text.mid(copied, match.capturedStart() - copied);
        // Between two commas the clause break stays (once); otherwise the filler's own comma goes.
        const bool keepComma = commaBefore && commaAfter && !startsSentenceEdge(following)
            && !QStringView(result).trimmed().endsWith(u',');
        result += keepComma ? u", "_s : u" "_s;
        copied = match.capturedEnd();
    }
    result += text.mid(copied);
    return result;
}

QString removeRepeats(const QString &text)
{
    static const QRegularExpression repeated(uR"((?<![\p{L}-])(\p{L}+)(?:[ \t]+\1)+(?![\p{L}-]))"_s,
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::UseUnicodePropertiesOption);
    QString result = text;
    return result.replace(repeated, u"\\1"_s);
}

} // namespace

QString LocalCleanup::apply(const QString &text, SmartMode mode)
{
    if (mode == SmartMode::verbatim)
        return text;
    QString result = TextTidy::spaces(removeRepeats(removeFillers(text)));
    // A sentence that began with a removed filler may now begin with a comma.
    static const QRegularExpression leadingComma(uR"((^|[.?!\n]\s*),\s*)"_s);
    result.replace(leadingComma, u"\\1"_s);
    return TextTidy::capitaliseSentences(TextTidy::spaces(result));
}
