#pragma once

#include <QString>

// Rules the text transforms share.
namespace TextTidy {

// One space between words, none before , . ? ! : ; … or around line breaks, none at the ends.
QString spaces(const QString &text);
// A capital letter at the start and after . ? ! and line breaks.
QString capitaliseSentences(const QString &text);

} // namespace TextTidy
