#pragma once

#include "abstractaudiorecorder.h"
#include "boundedchunkstream.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QString>

#include <QCoro/QCoroTask>

#include <functional>
#include <optional>

// One dictation as a flow sees it. The controller makes one for each dictation; its
// calls do nothing once that dictation is over, so late answers of an earlier one are
// harmless. Everything here is called on the main thread.
struct DictationContext {
    quint64 session = 0; // for the log
    QElapsedTimer clock; // since the press, for the log
    // The controller, which owns the flows: once it is gone, so is the flow.
    QPointer<QObject> owner;
    // The dictation is still the controller's current one, and so the controller and
    // its flows still exist: a flow checks it after every co_await before touching itself.
    std::function<bool()> isCurrent;
    std::function<void(const QString &textSoFar)> onPartial;
    // Part of the speech is lost; the text of the rest still comes.
    std::function<void(const QString &message)> onNotice;
    // The recognised text; it goes to editing and the paste.
    std::function<void(const QString &text)> onFinal;
    std::function<void(const QString &message)> onError;
    // A language model starts editing the text.
    std::function<void()> onEditing;
    // Audio that waited too long for the main thread was dropped from the recording.
    std::function<void(const AudioLoss &loss)> onAudioLost;
};

// How one recognition provider turns a recording into text. The session controller
// keeps the state machine, what the user sees and the paste; a flow keeps what the
// provider needs for one dictation at a time, from the first press to the result. Each
// controller owns one flow per provider for its whole life.
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

    // The press was accepted: get ready for what comes while the microphone is asked for.
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
    // The recognised text as it is to be pasted; none when the dictation ended meanwhile.
    virtual QCoro::Task<std::optional<QString>> edit(QString text, DictationContext context) = 0;

    // The recording is over: no more audio goes anywhere.
    virtual void endAudio() { }
    // Ends the dictation's connection and waits for it to close. Touches nothing of the
    // flow after its first wait, so the flow may be gone by then.
    virtual QCoro::Task<> close() { co_return; }
    // Drops whatever the dictation still holds, without waiting; `disconnect` closes an
    // open connection in the background first, otherwise it is dropped as it is.
    virtual void discard(bool disconnect) = 0;
    // The program quits: closes an open connection in the background and keeps it.
    virtual void abandonForTermination() { endAudio(); }

    // What the flow holds of the current dictation, for the controller's accessors.
    virtual bool holdsTranscriber() const { return false; }
    virtual bool holdsCollector() const { return false; }
    virtual bool holdsAudioStream() const { return false; }
};
