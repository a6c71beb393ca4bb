#pragma once

#include "core/abstractaudiorecorder.h"
#include "core/boundedchunkstream.h"
#include "core/dictationcontext.h"

#include <QString>

#include <QCoro/QCoroTask>

#include <optional>

// How one recognition provider turns a recording into text. The session controller
// keeps the state machine, what the user sees and the paste; who edits the text is the
// provider's editor (editing/), registered beside its flow. A flow keeps what the
// provider needs for one dictation at a time, from the first press to the recognised text.
class AbstractDictationFlow {
public:
    // Where the flow's key is kept and what the user is told when it is missing.
    struct KeyRequirement {
        QString account;
        QString missingMessage;
    };
    // What the user sees from the second press until the text is ready.
    enum class Finishing { recognition, editing };

    virtual ~AbstractDictationFlow() = default;

    // None for a flow that needs no key.
    virtual std::optional<KeyRequirement> key() const { return std::nullopt; }
    // Why a dictation cannot start now, in words for the user; none when it can.
    virtual std::optional<QString> unavailableReason() { return std::nullopt; }
    virtual Finishing finishing() const = 0;
    // In the walkthrough's test the walkthrough shows the wait itself rather than the overlay.
    virtual bool walkthroughShowsFinishing() const = 0;

    // The press was accepted: get ready for what comes while the recording starts.
    virtual void warmUp() { }
    // Before the recorder starts; may connect. False when the dictation ended meanwhile.
    // Throws DescribedError when the dictation cannot start.
    virtual QCoro::Task<bool> prepare(QString key, DictationContext context) = 0;
    // Where the recorder's chunks go, once prepared; called on the capture thread.
    virtual AbstractAudioRecorder::PCMHandler audioSink() = 0;
    // The second press, the recorder stopped: what was recorded goes off, and the text
    // or the failure comes through the context, now or later. True when the text is yet
    // to come over a connection that may go quiet: the controller then gives up on it
    // after a while.
    virtual QCoro::Task<bool> finish(DictationContext context) = 0;

    // The recording is over: no more audio goes anywhere.
    virtual void endAudio() { }
    // Ends the dictation's connection and waits for it to close. Touches nothing of the
    // flow after its first wait, so the flow may be gone by then.
    virtual QCoro::Task<> close() { co_return; }
    // Drops whatever the dictation still holds, without waiting; an open connection is
    // dropped as it is (it failed, or close() ended it already).
    virtual void discard() = 0;
    // Drops whatever the dictation still holds, closing an open connection in the background.
    virtual void abandon() { discard(); }
};
