#pragma once

#include "enums.h"

#include <QString>

// Clean-up without a language model, for the `clean` and `structured` modes: filler words,
// a word said twice in a row, extra spaces and capitals at sentence starts. `structured`
// keeps the paragraph breaks the recogniser put at long pauses (`clean` has none to keep).
// `verbatim` returns the text unchanged.
//
// Fillers: «э», «ээ», «эм», «мм», «хм» (and longer) always go. «ну», «вот», «как бы» and
// «типа» are words too («вот дом», «ну и что», «этого типа»): they go only where they stand
// apart, set off by commas or a sentence edge on both sides («Ну, давай», «я, типа, не знаю»).
namespace LocalCleanup {

QString apply(const QString &text, SmartMode mode);

} // namespace LocalCleanup
