#pragma once

#include "core/abstractrealtimetranscriber.h"
#include "core/enums.h"

#include <QString>

#include <memory>
#include <optional>

// Recognition on this computer, used by the own-backend path of a build without a
// backend. Its recognisers follow the realtime transcriber's contract: connect() returns
// at once and the model loads alongside the recording; partial text arrives while the
// user speaks; commit() leads to onFinal with the whole text, or onError.
class AbstractLocalRecognition {
public:
    virtual ~AbstractLocalRecognition() = default;
    // Why a dictation cannot start now (no model installed, the model still
    // downloading), in words for the user; none when it can.
    virtual std::optional<QString> unavailableReason() = 0;
    // A recogniser for one dictation. In `structured` mode it starts a new paragraph
    // where the speaker paused long.
    virtual std::unique_ptr<AbstractRealtimeTranscriber> makeTranscriber(
        RealtimeTranscriberCallbacks callbacks, SmartMode mode)
        = 0;
    // `clean` and `structured` without a language model: fillers, a short word said twice,
    // spaces and capitals. `verbatim` returns the text unchanged.
    virtual QString cleanUp(const QString &text, SmartMode mode) = 0;
};
