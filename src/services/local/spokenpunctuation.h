#pragma once

#include <QSet>
#include <QString>

#include <optional>

// Punctuation said aloud, in these exact forms, in any case, as whole words:
//
//   marks:  «запятая» ,   «точка» .   «точка с запятой» ;   «двоеточие» :   «три точки», «многоточие» …
//           «вопросительный знак» ?   «восклицательный знак» !   «новая строка», «новый абзац» a line or
//           paragraph break;  «точка ру/ком/орг/рф» after a name: .ru .com .org .рф («yandex.ru»);
//           «точка» between two numbers: «3 точка 5» → «3.5».
//   words:  «точка» before the noun it names («точка зрения», «точка доступа», «точка кипения»,
//           «точка отсчёта», «точка входа» and the like) or before a capital letter («точка А»);
//           any of them after a word that makes it a noun: «эта точка», «лишняя запятая», «слово
//           точка», «этот вопросительный знак»; «три точки» unless a clause ends after it («три
//           точки на графике»); every other form of the words («точками», «точку», «запятой»).
//
// The mark replaces the punctuation the recogniser put beside the word itself, and goes before
// a break that came between the word and it; two marks said in a row make one («?!», «…?»), the
// stronger («точка запятая» → «.»). After a «,» or «:» said where the recogniser guessed a
// sentence end, the capital it put on the next word goes, unless the word is a name (`names`; by
// default the words written with a capital in mid-sentence). Spaces are fixed and a sentence after
// a spoken mark starts with a capital letter. A mark said first stays first: the dictation may
// go on from text already at the cursor.
namespace SpokenPunctuation {

QString apply(const QString &text, const std::optional<QSet<QString>> &names = std::nullopt);

// Whether the text ends with a spoken «,» «:» or «;» (with whatever mark the recogniser put
// after it): the stretch of speech after it goes on the same sentence.
bool endsWithClauseMark(QStringView text);

} // namespace SpokenPunctuation
