#pragma once

#include <QSet>
#include <QString>

// Rules the text transforms share.
namespace TextTidy {

// One space between words, none before , . ? ! : ; … or around line breaks, none at the ends;
// at most one empty line between paragraphs.
QString spaces(const QString &text);

// A capital letter where a sentence really starts: at the start of the text, after a line
// break, and after . ? ! followed by a space. Not after an abbreviation or an initial («т.е.»,
// «см.», «рис.», «г.», «А.»), and only on a word of lower-case Cyrillic letters, so «3.5»,
// «main.cpp», «www.google.com» and «git» keep their case. Nothing is turned into lower case.
QString capitaliseSentences(const QString &text);

// Capitalised words that `text` shows to be names: those written with a capital in mid-sentence
// (after a lower-case word, a number or a comma).
QSet<QString> namesIn(QStringView text);

// The first word of `piece` in lower case, unless it looks like a name: it is in `names`, or
// holds a Latin letter, a digit or a second capital («NASA»). For a capital the recogniser put
// only because a stretch of speech started there, after a comma.
QString lowerFirstWord(const QString &piece, const QSet<QString> &names);

} // namespace TextTidy
