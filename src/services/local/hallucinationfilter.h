#pragma once

#include <QString>

// whisper was trained on subtitled video: on silence and noise it likes to "hear" the
// credits and sign-offs of subtitles. Those lines are removed where they stand alone or
// end the text, matched without regard to case and punctuation.
namespace HallucinationFilter {

QString apply(const QString &text);

} // namespace HallucinationFilter
