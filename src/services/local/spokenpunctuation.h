#pragma once

#include <QString>

// Punctuation said aloud: «запятая» «точка» «вопросительный знак» «восклицательный знак»
// «двоеточие» «новая строка» «новый абзац» become , . ? ! : and a line or paragraph break.
// Only these exact word forms, in any case, as whole words («точками» stays). The spoken
// mark replaces the punctuation whisper put beside the word itself; spaces are fixed and
// a sentence starts with a capital letter.
namespace SpokenPunctuation {

QString apply(const QString &text);

} // namespace SpokenPunctuation
