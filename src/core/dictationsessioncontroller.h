#pragma once

#include "abstractaudiorecorder.h"
#include "abstractbackendconfiguration.h"
#include "abstractgigachatclient.h"
#include "abstractkeychain.h"
#include "abstractlocalrecognition.h"
#include "abstractmicrophonepermission.h"
#include "abstractonboardingwindow.h"
#include "abstractoverlay.h"
#include "abstractpcmcollector.h"
#include "abstractrealtimetranscriber.h"
#include "abstractsettingswindow.h"
#include "abstracttextinserter.h"
#include "abstracttextpolisher.h"
#include "abstractvorsikapiclient.h"
#include "boundedchunkstream.h"
#include "enums.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <QCoro/QCoroTask>

#include <chrono>
#include <memory>
#include <optional>

// Runs one dictation at a time, from the toggle to the reported outcome. Lives on
// the main thread; every wait is a coroutine that resumes there. Knows its
// neighbours only through their abstract interfaces, one header each.
class DictationSessionController : public QObject {
    Q_OBJECT

public:
    struct Neighbours {
        AbstractKeychain *keychain = nullptr;
        AbstractBackendConfiguration *backendConfiguration = nullptr;
        AbstractMicrophonePermission *microphonePermission = nullptr;
        AbstractAudioRecorder *audioRecorder = nullptr;
        std::function<std::unique_ptr<AbstractPCMCollector>()> makeCollector;
        RealtimeTranscriberFactory makeTranscriber;
        AbstractVorsikAPIClient *vorsikAPIClient = nullptr;
        AbstractGigaChatClient *gigaChatClient = nullptr;
        AbstractTextPolisher *textPolisher = nullptr;
        AbstractTextInserter *textInserter = nullptr;
        AbstractOverlay *overlay = nullptr;
        AbstractOnboardingWindow *onboardingWindow = nullptr;
        AbstractSettingsWindow *settingsWindow = nullptr;
        // Recognition on this computer, for the own-backend path when no backend is configured.
        AbstractLocalRecognition *localRecognition = nullptr;
    };

    // Where the first-start walkthrough is when a press comes; the shell, which owns
    // the walkthrough, knows. Until setup is finished only its test dictation starts.
    enum class Walkthrough { elsewhere, atTestDictation };

    struct Timings {
        std::chrono::milliseconds testDictationPause { 900 };
        // Ends an OpenAI dictation whose final transcript never arrives after commit().
        std::chrono::milliseconds finalTranscriptWatchdog { 30'000 };
    };

    static constexpr std::chrono::milliseconds failureHideAfter { 4500 };
    static constexpr std::chrono::milliseconds insertedHideAfter { 3500 };

    explicit DictationSessionController(Neighbours neighbours, QObject *parent = nullptr);
    ~DictationSessionController() override;

    void setTimings(Timings timings) { m_timings = timings; }

    void toggleFnDictation(Walkthrough walkthrough = Walkthrough::elsewhere);
    void toggleDictation(Walkthrough walkthrough = Walkthrough::elsewhere);
    void startDictation();
    void stopDictation();
    QCoro::Task<> completeDictation(QString text);
    void handleTranscriptionError(const QString &message);
    QCoro::Task<> resetSession();
    QCoro::Task<bool> requestMicrophonePermission();
    QCoro::Task<> startOpenAIRecording(QString apiKey);
    QCoro::Task<> startGigaChatRecording();
    QCoro::Task<> startLocalRecording();

    // Termination: stop recording, finish an open stream, disconnect without waiting.
    void prepareForTermination();

    void showOverlayMessage(
        const QString &title, const QString &detail, MessageTone tone, std::chrono::milliseconds hideAfter);
    void showFailureMessage(const QString &detail);

    DictationState state() const { return m_state; }
    AIProvider activeProvider() const { return m_activeProvider; }
    // The own-backend path of a build without a backend: recognised on this computer.
    bool recognizesLocally() const { return m_recognizesLocally; }
    bool stopWhenRecordingStarts() const { return m_stopWhenRecordingStarts; }
    bool isReadingKey() const { return m_readingKey; }
    bool isOnboardingTestDictation() const { return m_isOnboardingTestDictation; }
    const std::optional<TextInsertionTarget> &insertionTarget() const { return m_insertionTarget; }
    const QString &finalTranscript() const { return m_finalTranscript; }
    bool hasTranscriber() const { return m_transcriber != nullptr; }
    bool hasCollector() const { return m_gigaAudioCollector != nullptr; }
    bool hasAudioStream() const { return m_audioContinuation != nullptr; }

Q_SIGNALS:
    void stateChanged(DictationState state);
    // A dictation's text was stored as the last text.
    void lastTextChanged();
    // The target captured at the press is known (or known to be absent).
    void targetCaptured();

private:
    // Every fire-and-forget task goes through here: a throw ends the dictation.
    void detach(QCoro::Task<> task);
    // Ends whatever is under way after an unexpected failure, without awaiting anything.
    void abandonDictation(const QString &description);
    void disconnectWithoutWaiting(std::shared_ptr<AbstractRealtimeTranscriber> transcriber);
    // Drops what the dictation held and shows the idle state.
    void returnToIdle();
    QCoro::Task<> awaitTarget(quint64 session, QCoro::Task<std::optional<TextInsertionTarget>> capture);
    QCoro::Task<> readKeyAndBegin(AIProvider provider, QString account, quint64 session);
    void cancelKeyRead();
    // The start once the provider's precondition is known: fails it or begins connecting.
    void beginDictation(AIProvider provider, const std::optional<QString> &key);
    QCoro::Task<> runStart(AIProvider provider, QString key, quint64 session);
    // Streams the recording into a recogniser as it is captured (OpenAI, this computer).
    QCoro::Task<> startStreamedRecording(RealtimeTranscriberFactory make, QString apiKey);
    bool streamsAudio() const { return m_activeProvider == AIProvider::openAI || m_recognizesLocally; }
    // The editing of a streamed transcript: the text polisher where an OpenAI key is
    // present, otherwise (on this computer) the local clean-up.
    QCoro::Task<std::optional<QString>> editStreamedText(QString text, quint64 session);
    QCoro::Task<> forwardAudio(std::shared_ptr<BoundedChunkStream> stream,
        std::shared_ptr<AbstractRealtimeTranscriber> transcriber, std::shared_ptr<bool> cancelled);
    QCoro::Task<> finishStreamedDictation(quint64 session);
    QCoro::Task<> runUpload(
        AIProvider provider, quint64 session, QByteArray pcm, SmartMode mode, QString context, QStringList vocabulary);
    // Finishes the stream, stops forwarding and disconnects the transcriber; false
    // when the controller was destroyed while waiting.
    QCoro::Task<bool> closeAudioPath();
    void recordingBegins();
    AbstractAudioRecorder::LossHandler lossHandler(quint64 session);
    // The microphone went away mid-recording: what was captured is finished as usual.
    void onMicrophoneLost(quint64 session);
    void showLossNote();
    // `text` behind the note that the recording stopped early, when it did.
    QString lossNoted(const QString &text) const;
    // False, after showing the walkthrough, when setup is unfinished and this press is not its test.
    bool mayStart(Walkthrough walkthrough);
    void setState(DictationState state);
    void finishAudioStream();
    void cancelForwardTask();
    void onFinalTranscriptOverdue(quint64 session);
    // Runs `action` on the main thread if the controller still exists and the
    // dictation `session` is still its current one. Callable from any thread.
    static void onMainThreadForSession(
        QPointer<DictationSessionController> self, quint64 session, std::function<void()> action);

    Neighbours m_n;
    Timings m_timings;

    DictationState m_state = DictationState::idle;
    AIProvider m_activeProvider = AIProvider::openAI;
    bool m_recognizesLocally = false;
    bool m_stopWhenRecordingStarts = false;
    bool m_isOnboardingTestDictation = false;
    // The key is being read from the keyring (its unlock prompt may be up); the
    // state stays idle until the answer says whether the dictation can start.
    bool m_readingKey = false;
    bool m_microphoneLost = false;
    std::optional<TextInsertionTarget> m_insertionTarget;
    // The capture runs alongside the start of the recording; the paste waits for it.
    bool m_targetPending = false;
    QElapsedTimer m_clock; // since the press, for the debug timings
    QString m_finalTranscript;

    std::shared_ptr<AbstractRealtimeTranscriber> m_transcriber;
    std::shared_ptr<AbstractPCMCollector> m_gigaAudioCollector;
    std::shared_ptr<BoundedChunkStream> m_audioContinuation;
    std::optional<QCoro::Task<>> m_audioForwardTask;
    std::shared_ptr<bool> m_forwardCancelled;

    // Every start, reset and failure begins a new generation, so late callbacks and
    // results of an earlier dictation are recognised and dropped.
    quint64 m_session = 0;
    // A result is being edited or pasted: a second result, or a late provider error,
    // must not run the completion again or tear it down.
    bool m_completing = false;
    QTimer m_watchdog;
};
