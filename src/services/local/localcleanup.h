#pragma once

#include "core/enums.h"

#include <QString>

// Clean-up without a language model, for the `clean` and `structured` modes: filler words,
// a word slipped twice, extra spaces and capitals at sentence starts. `structured` keeps the
// paragraph breaks the recogniser put at long pauses (`clean` has none to keep). `verbatim`
// returns the text unchanged. Where a rule cannot tell, the text stays as recognised: a
// missed filler costs the user less than a lost word.
//
// Fillers: hesitations («э», «ээ», «эм», «ммм», «хм») go. «ну», «вот», «как бы», «типа» and
// «мм» are words too («вот дом», «ну и что», «этого типа»): they go only where they stand
// apart, set off by commas or a sentence edge on both sides («Ну, давай», «я, типа, не знаю»),
// and take their commas with them, so a unit after its number («10 мм») is never one. A sentence
// of fillers alone stays («Вот.», «Вот, вот, вот»), and so does a text of fillers alone.
namespace LocalCleanup {

QString apply(const QString &text, SmartMode mode);

} // namespace LocalCleanup
