#include "spokenpunctuation.h"

#include "texttidy.h"

#include <QRegularExpression>

using namespace Qt::StringLiterals;

QString SpokenPunctuation::apply(const QString &text)
{
    // Whisper writes its own guess around a spoken mark ("Привет, запятая, как"): the
    // punctuation on both sides goes. Before a break, the sentence's own end stays.
    static const QRegularExpression spoken(
        uR"([\s,;:…]*(?<![\p{L}\p{N}-])(вопросительный\s+знак|восклицательный\s+знак|новая\s+строка|новый\s+абзац|запятая|точка|двоеточие)(?![\p{L}\p{N}-])[\s,.;:!?…]*)"_s,
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::UseUnicodePropertiesOption);
    static const QRegularExpression markBeforeSpoken(uR"([.?!]+$)"_s);
    QString result;
    qsizetype copied = 0;
    for (const QRegularExpressionMatch &match : spoken.globalMatch(text)) {
        QString before = text.mid(copied, match.capturedStart() - copied);
        const QString word = match.captured(1).toLower().simplified();
        QString mark;
        if (word == u"запятая")
            mark = u", "_s;
        else if (word == u"точка")
            mark = u". "_s;
        else if (word == u"вопросительный знак")
            mark = u"? "_s;
        else if (word == u"восклицательный знак")
            mark = u"! "_s;
        else if (word == u"двоеточие")
            mark = u": "_s;
        else
            mark = word == u"новая строка" ? u"\n"_s : u"\n\n"_s;
        if (!mark.startsWith(u'\n'))
            before.remove(markBeforeSpoken); // whisper's "." before a spoken "?" goes too
        result += before + mark;
        copied = match.capturedEnd();
    }
    if (copied == 0)
        return text;
    result += text.mid(copied);
    return TextTidy::capitaliseSentences(TextTidy::spaces(result));
}
