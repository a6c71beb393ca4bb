#pragma once

#include "core/abstractaudiorecorder.h"
#include "core/abstractkeychain.h"
#include "core/abstractonboardingwindow.h"
#include "core/abstractoverlay.h"
#include "core/abstractsettingswindow.h"
#include "core/abstracttextinserter.h"
#include "core/dictationkeys.h"
#include "core/dictationlosses.h"
#include "core/dictationphases.h"
#include "core/dictationpresenter.h"
#include "core/enums.h"
#include "core/providerregistry.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <QCoro/QCoroTask>

#include <chrono>
#include <optional>

struct AudioLoss;
struct DictationContext;

// Runs one dictation at a time, from the toggle to the reported outcome. Lives on
// the main thread; every wait is a coroutine that resumes there. Knows its
// neighbours only through their abstract interfaces, one header each, and each
// provider only through its registered flow and editor (providerregistry.h). Its
// phases change only as the table in dictationphases.h allows.
class DictationSessionController : public QObject {
    Q_OBJECT

public:
    // The providers' services, and what every dictation uses whichever the provider.
    struct Neighbours : ProviderServices {
        AbstractKeychain *keychain = nullptr;
        AbstractAudioRecorder *audioRecorder = nullptr;
        AbstractTextInserter *textInserter = nullptr;
        AbstractOverlay *overlay = nullptr;
        AbstractOnboardingWindow *onboardingWindow = nullptr;
        AbstractSettingsWindow *settingsWindow = nullptr;
    };

    // Where the first-start walkthrough is when a press comes; the shell, which owns
    // the walkthrough, knows. Until setup is finished only its test dictation starts.
    enum class Walkthrough { elsewhere, atTestDictation };

    struct Timings {
        std::chrono::milliseconds testDictationPause { 900 };
        // Ends an OpenAI dictation whose final transcript never arrives after commit().
        std::chrono::milliseconds finalTranscriptWatchdog { 30'000 };
    };

    explicit DictationSessionController(Neighbours neighbours, QObject *parent = nullptr);
    ~DictationSessionController() override;

    void setTimings(Timings timings) { m_timings = timings; }

    void toggleFnDictation(Walkthrough walkthrough = Walkthrough::elsewhere);
    void toggleDictation(Walkthrough walkthrough = Walkthrough::elsewhere);
    void startDictation();
    void stopDictation();
    QCoro::Task<> completeDictation(QString text);
    void handleTranscriptionError(const QString &message);

    // Termination: stop recording, close an open connection without waiting.
    void prepareForTermination();

    void showOverlayMessage(
        const QString &title, const QString &detail, MessageTone tone, std::chrono::milliseconds hideAfter)
    {
        m_neighbours.overlay->showMessage(title, detail, tone, hideAfter);
    }
    void showFailureMessage(const QString &detail) { m_overlayPresenter.failed(detail, {}); }

    DictationState state() const { return publicState(m_phase); }
    DictationPhase phase() const { return m_phase; }

Q_SIGNALS:
    void stateChanged(DictationState state);
    // A dictation's text was stored as the last text.
    void lastTextChanged();
    // The target captured at the press is known (or known to be absent).
    void targetCaptured();

private:
    // How a dictation ends. They differ in what becomes of the provider's connection and
    // in what the user is told.
    enum class Ending {
        delivered, // the text came (or none did): closed and awaited; the caller tells the outcome
        failedToStart, // closed and awaited; the failure is told
        failed, // the provider failed: its connection is dropped as it is; told with what was lost
        abandoned, // an unexpected throw: closed in the background; told
        quitting, // closed in the background; nothing is told
    };
    // What belongs to the current dictation alone.
    struct Dictation {
        std::optional<TextInsertionTarget> target;
        // The capture runs alongside the start of the recording; the paste waits for it.
        bool targetPending = false;
        QString transcript; // the partial text so far
        DictationLosses losses;
    };

    // Moves along the table; false, changing nothing, where it has no such transition.
    bool fire(DictationEvent event);
    // The one way a dictation ends: back to idle with nothing held, then the user is told.
    QCoro::Task<> teardown(Ending ending, QString message = {});
    // Every fire-and-forget task goes through here: a throw ends the dictation.
    void detach(QCoro::Task<> task);
    QCoro::Task<> awaitTarget(quint64 session, QCoro::Task<std::optional<TextInsertionTarget>> capture);
    QCoro::Task<> readKeyAndBegin(Provider provider, QString account, quint64 session);
    void giveUpKeyRead();
    // The start once the flow's key is known: fails it or begins connecting.
    void beginDictation(Provider provider, const std::optional<QString> &key);
    QCoro::Task<> runStart(QString key, quint64 session);
    // Prepares the current flow and starts the recorder into it.
    QCoro::Task<> startRecording(QString key);
    void recordingBegins();
    // Once `recorded` has finished, every chunk of the recording has reached the flow.
    QCoro::Task<> finishDictation(quint64 session, QFuture<void> recorded);
    void onFinalTranscriptOverdue(quint64 session);
    QCoro::Task<> insert(QString text, quint64 session, AbstractDictationPresenter *presenter);
    // What the current flow and editor report for the dictation `session`.
    DictationContext context(quint64 session);
    void showPartial(const QString &textSoFar);
    AbstractAudioRecorder::LossHandler lossHandler(quint64 session);
    // The microphone went away mid-recording: what was captured is finished as usual.
    void onMicrophoneLost(quint64 session);
    // Part of the speech is lost; the user is told with the result.
    void noteLoss(const QString &message);
    // Audio the main thread did not take in time was dropped: logged, shown and kept with the text.
    void onAudioLost(const AudioLoss &loss);
    void showLossNote();
    // False, after showing the walkthrough, when setup is unfinished and this press is not its test.
    bool mayStart(Walkthrough walkthrough);

    Neighbours m_neighbours;
    // What the keyring gave this dictation, for the flows and editors too.
    DictationKeys m_keys;
    ProviderRegistry m_providers;
    Timings m_timings;
    OverlayPresenter m_overlayPresenter;
    WalkthroughPresenter m_walkthroughPresenter;

    DictationPhase m_phase = DictationPhase::idle;
    Dictation m_dictation;
    // The provider of the current or last dictation, and who sees it.
    Provider m_provider;
    AbstractDictationPresenter *m_presenter = &m_overlayPresenter;
    QElapsedTimer m_clock; // since the press, for the debug timings

    // Every start, reset and failure begins a new generation, so late callbacks and
    // results of an earlier dictation are recognised and dropped.
    quint64 m_session = 0;
    QTimer m_watchdog;
};
