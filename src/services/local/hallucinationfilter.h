#pragma once

#include "services/local/recognitionmodel.h"

// whisper was trained on subtitled video: on silence and noise it likes to "hear" the credits
// and sign-offs of subtitles. Each recognised segment is judged on its own, matched without
// regard to case and punctuation: the same words inside a longer sentence are the user's. An
// engine that gives one segment per call and no probabilities (no-speech 0, words 1) has its
// calls judged as whole segments, and nothing is dropped on probabilities it did not give.
namespace HallucinationFilter {

// A segment that is nothing but such a line (a name may follow the credits), a sound label
// («[музыка]»), or one the engine itself found to hold no speech with its words guessed.
bool isInvented(const RecognisedSegment &segment);

// «Спасибо за внимание», «Благодарю за внимание» and nothing else: what a speaker says at the
// end of a talk too, so invented only where the recording ended in silence after it.
bool isClosingThanks(const RecognisedSegment &segment);

// The engine's own sign that the segment's audio held no speech.
bool engineHeardSilence(const RecognisedSegment &segment);

} // namespace HallucinationFilter
