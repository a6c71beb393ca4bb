#pragma once

// The session controller's neighbours, one small interface each with exactly the
// operations the controller uses. Each subsystem implements its own; the tests
// implement all of them as fakes.

#include "enums.h"
#include "textinsertion.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <QCoro/QCoroTask>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

// Read-only access to the user's secrets. A read may wait for the user to unlock
// the keyring: it is awaited and resumes on the caller's thread.
class AbstractKeychain {
public:
    virtual ~AbstractKeychain() = default;
    virtual QCoro::Task<std::optional<QString>> read(QString account) = 0;
};

class AbstractBackendConfiguration {
public:
    virtual ~AbstractBackendConfiguration() = default;
    virtual bool isConfigured() const = 0;
};

// Whether this program may read other applications' UI and paste into them. On
// Linux: the accessibility bus is reachable and enabled; the request switches it on.
class AbstractAccessibilityPermission {
public:
    virtual ~AbstractAccessibilityPermission() = default;
    virtual bool isTrusted() = 0;
    // Asks for the permission (where the desktop allows, grants it); the answer is not awaited.
    virtual void requestTrust() = 0;
};

class AbstractMicrophonePermission {
public:
    virtual ~AbstractMicrophonePermission() = default;
    // True when recording is allowed; may ask the user and wait for the answer.
    virtual QCoro::Task<bool> request() = 0;
};

class AbstractAudioRecorder {
public:
    // Called on the capture thread with non-empty chunks of s16le mono 24 kHz PCM.
    using PCMHandler = std::function<void(const QByteArray &chunk)>;
    // Called on the main thread when the recording ends on its own (the sound server
    // went away, the microphone was removed), after every chunk captured until then.
    using LossHandler = std::function<void()>;

    virtual ~AbstractAudioRecorder() = default;
    // Resumes once recording runs; throws DescribedError when it cannot start.
    // Starting while running does nothing and keeps the first handlers.
    virtual QCoro::Task<> start(PCMHandler onPCMData, LossHandler onLost) = 0;
    // Harmless when not running; a start still under way ends without recording.
    virtual void stop() = 0;
    virtual bool isRunning() const = 0;
};

// Thread-safe accumulator of one whole recording.
class AbstractPCMCollector {
public:
    virtual ~AbstractPCMCollector() = default;
    virtual void append(const QByteArray &bytes) = 0;
    virtual QByteArray takeAll() = 0;
};

struct RealtimeTranscriberCallbacks {
    // May be called on any thread; the controller hops to the main thread itself.
    std::function<void(const QString &delta)> onPartial;
    std::function<void(const QString &text)> onFinal;
    std::function<void(const QString &message)> onError;
};

class AbstractRealtimeTranscriber {
public:
    virtual ~AbstractRealtimeTranscriber() = default;
    // Throws DescribedError when the connection cannot be made.
    virtual QCoro::Task<void> connect(QString apiKey, QString prompt, QStringList keywords) = 0;
    virtual QCoro::Task<void> appendAudio(QByteArray pcm) = 0;
    virtual QCoro::Task<void> commit() = 0;
    virtual QCoro::Task<void> disconnect() = 0;
};

using RealtimeTranscriberFactory
    = std::function<std::unique_ptr<AbstractRealtimeTranscriber>(RealtimeTranscriberCallbacks callbacks)>;

// Each client returns the finished text or throws DescribedError with a user-facing description.
class AbstractVorsikAPIClient {
public:
    virtual ~AbstractVorsikAPIClient() = default;
    virtual QCoro::Task<QString> transcribeAndEdit(
        QByteArray pcmAudio, SmartMode mode, QString context, QStringList vocabulary)
        = 0;
    // An upload is coming: get ready for it while the user speaks. Never fails;
    // whatever is not ready by then the upload does itself.
    virtual void warmUp() { }
};

class AbstractGigaChatClient {
public:
    virtual ~AbstractGigaChatClient() = default;
    virtual QCoro::Task<QString> transcribeAndEdit(
        QByteArray pcmAudio, QString authorizationKey, SmartMode mode, QString context, QStringList vocabulary)
        = 0;
};

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
    // `clean` and `structured` without a language model: fillers, doubled words,
    // spaces and capitals. `verbatim` returns the text unchanged.
    virtual QString cleanUp(const QString &text, SmartMode mode) = 0;
};

class AbstractTextPolisher {
public:
    virtual ~AbstractTextPolisher() = default;
    virtual QCoro::Task<QString> polish(QString text, SmartMode mode, TextPolisher::Quality quality, QString context,
        QStringList vocabulary, QString apiKey)
        = 0;
};

class AbstractTextInserter {
public:
    virtual ~AbstractTextInserter() = default;
    virtual QCoro::Task<std::optional<TextInsertionTarget>> captureTarget() = 0;
    virtual QCoro::Task<TextInsertionOutcome> insert(QString text, std::optional<TextInsertionTarget> target) = 0;
};

// What an overlay message tells the user; the overlay picks its look from it.
enum class MessageTone { success, failure };

class AbstractOverlay {
public:
    virtual ~AbstractOverlay() = default;
    virtual void showConnecting() = 0;
    virtual void showListening() = 0;
    virtual void showProcessing(const QString &title) = 0;
    virtual void showEditing() = 0;
    virtual void presentResult(const QString &title, const QString &message, const QString &text) = 0;
    // The overlay message: hide the result area, let clicks pass through, height 104,
    // then present the title, detail and the tone's mascot, hiding after `hideAfter`.
    virtual void showMessage(
        const QString &title, const QString &detail, MessageTone tone, std::chrono::milliseconds hideAfter)
        = 0;
    // The grey detail line (`transcriptLabel`), updated with partial transcripts.
    virtual void setTranscriptText(const QString &text) = 0;
};

class AbstractOnboardingWindow {
public:
    virtual ~AbstractOnboardingWindow() = default;
    // For the shell: the walkthrough waits for its test dictation, so a press starts it.
    virtual bool awaitsTestDictation() const = 0;
    virtual void show() = 0;
    virtual void showTestConnecting() = 0;
    virtual void showTestListening() = 0;
    virtual void showTestProcessing() = 0;
    virtual void showTestError(const QString &message) = 0;
    virtual void showTestResult(const QString &text) = 0;
    // The shell's completion action, called once when the user finishes the walkthrough.
    virtual void setOnFinish(std::function<void()> onFinish) = 0;
    // What starts a dictation on this desktop, once known; the walkthrough says how to use it.
    virtual void setTrigger(DictationTrigger) { }
};

class AbstractSettingsWindow {
public:
    virtual ~AbstractSettingsWindow() = default;
    virtual void show() = 0;
    // Shows the window at its section of recognition models (on this computer).
    virtual void showModels() { show(); }
};
