#include "texttidy.h"

#include <QRegularExpression>

using namespace Qt::StringLiterals;

QString TextTidy::spaces(const QString &text)
{
    static const QRegularExpression runs(u"[ \\t]+"_s);
    static const QRegularExpression beforeMark(u" (?=[,.?!:;…])"_s);
    static const QRegularExpression aroundBreak(u" *\\n *"_s);
    QString tidy = text;
    tidy.replace(runs, u" "_s).replace(beforeMark, QString()).replace(aroundBreak, u"\n"_s);
    return tidy.trimmed();
}

QString TextTidy::capitaliseSentences(const QString &text)
{
    QString result = text;
    bool sentenceStart = true;
    for (QChar &character : result) {
        if (character.isLetter()) {
            if (sentenceStart)
                character = character.toUpper();
            sentenceStart = false;
        } else if (character == u'.' || character == u'?' || character == u'!' || character == u'\n') {
            sentenceStart = true;
        } else if (character.isDigit()) {
            sentenceStart = false;
        }
    }
    return result;
}
