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
#include "dictationkeys.h"
#include "enums.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <QCoro/QCoroTask>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class AbstractDictationFlow;
struct AudioLoss;
struct DictationContext;

// Runs one dictation at a time, from the toggle to the reported outcome. Lives on
// the main thread; every wait is a coroutine that resumes there. Knows its
// neighbours only through their abstract interfaces, one header each, and each
// provider's way from the recording to the text only through its flow (flows/).
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
    bool hasTranscriber() const;
    bool hasCollector() const;
    bool hasAudioStream() const;

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
    // Drops what the dictation held and shows the idle state.
    void returnToIdle();
    QCoro::Task<> awaitTarget(quint64 session, QCoro::Task<std::optional<TextInsertionTarget>> capture);
    // The flow of `provider`; the own backend's is recognition on this computer when the
    // build has no backend.
    AbstractDictationFlow *flowFor(AIProvider provider) const;
    QCoro::Task<> readKeyAndBegin(AIProvider provider, AbstractDictationFlow *flow, QString account, quint64 session);
    void cancelKeyRead();
    // The start once the flow's key is known: fails it or begins connecting.
    void beginDictation(AIProvider provider, AbstractDictationFlow *flow, const std::optional<QString> &key);
    QCoro::Task<> runStart(QString key, quint64 session);
    // Prepares the current flow and starts the recorder into it.
    QCoro::Task<> startRecording(QString key);
    // Once `recorded` has finished, every chunk of the recording has reached the flow.
    QCoro::Task<> finishDictation(quint64 session, QFuture<void> recorded);
    // What the current flow reports for the dictation `session`.
    DictationContext context(quint64 session);
    void showPartial(const QString &textSoFar);
    // Part of the speech is lost; the user is told with the result.
    void noteLoss(const QString &message);
    // Closes the flow's connection; false when the controller was destroyed while waiting.
    QCoro::Task<bool> closeAudioPath();
    void recordingBegins();
    AbstractAudioRecorder::LossHandler lossHandler(quint64 session);
    // The microphone went away mid-recording: what was captured is finished as usual.
    void onMicrophoneLost(quint64 session);
    // Audio the main thread did not take in time was dropped: logged, shown and kept with the text.
    void onAudioLost(const AudioLoss &loss);
    // What the user is told was lost of the recording; empty when nothing was.
    QString lossNote() const;
    void showLossNote();
    // `text` behind the note of what was lost, when anything was.
    QString lossNoted(const QString &text) const;
    // False, after showing the walkthrough, when setup is unfinished and this press is not its test.
    bool mayStart(Walkthrough walkthrough);
    void setState(DictationState state);
    void onFinalTranscriptOverdue(quint64 session);

    Neighbours m_n;
    // What the keyring gave this dictation, for the flows too; before them, which it is handed to.
    DictationKeys m_keys;
    Timings m_timings;

    DictationState m_state = DictationState::idle;
    AIProvider m_activeProvider = AIProvider::openAI;
    bool m_recognizesLocally = false;
    bool m_stopWhenRecordingStarts = false;
    bool m_isOnboardingTestDictation = false;
    // The key is being read from the keyring (its unlock prompt may be up); the
    // state stays idle until the answer says whether the dictation can start.
    bool m_readingKey = false;
    QStringList m_lossNotes; // what this dictation lost, in words for the user
    // Stretches of the recording dropped before the main thread took them, in order.
    std::vector<std::pair<std::chrono::milliseconds, std::chrono::milliseconds>> m_lostAudio;
    std::optional<TextInsertionTarget> m_insertionTarget;
    // The capture runs alongside the start of the recording; the paste waits for it.
    bool m_targetPending = false;
    QElapsedTimer m_clock; // since the press, for the debug timings
    QString m_finalTranscript;

    std::unique_ptr<AbstractDictationFlow> m_ownBackendFlow;
    std::unique_ptr<AbstractDictationFlow> m_localFlow;
    std::unique_ptr<AbstractDictationFlow> m_gigaChatFlow;
    std::unique_ptr<AbstractDictationFlow> m_openAIFlow;
    // The flow of the current or last dictation.
    AbstractDictationFlow *m_flow = nullptr;

    // Every start, reset and failure begins a new generation, so late callbacks and
    // results of an earlier dictation are recognised and dropped.
    quint64 m_session = 0;
    // A result is being edited or pasted: a second result, or a late provider error,
    // must not run the completion again or tear it down.
    bool m_completing = false;
    QTimer m_watchdog;
};
