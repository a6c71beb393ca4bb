#pragma once

// Fakes with memory for every neighbour of the session controller. Each records
// what it was asked into one shared event log, so a test can check the order of
// everything the user would see.

#include "describederror.h"
#include "dictationsessioncontroller.h"
#include "neighbours.h"
#include "testutil.h"

#include <QHash>
#include <QStringList>

#include <memory>
#include <vector>

using EventLog = std::shared_ptr<QStringList>;

class FakeKeychain final : public AbstractKeychain {
public:
    QHash<QString, QString> items;
    int reads = 0;
    Gate *gate = nullptr; // when set, the answer waits for it (a keyring showing its unlock prompt)
    bool throws = false;
    QCoro::Task<std::optional<QString>> read(QString account) override;
};

class FakeBackendConfiguration final : public AbstractBackendConfiguration {
public:
    bool configured = true;
    bool isConfigured() const override { return configured; }
};

class FakeMicrophonePermission final : public AbstractMicrophonePermission {
public:
    bool granted = true;
    Gate *gate = nullptr; // when set, the answer waits for it
    QCoro::Task<bool> request() override;
};

class FakeAudioRecorder final : public AbstractAudioRecorder {
public:
    explicit FakeAudioRecorder(EventLog log)
        : m_log(std::move(log))
    {
    }
    std::optional<QString> startError;
    int starts = 0;
    int stops = 0;

    QCoro::Task<> start(PCMHandler onPCMData, LossHandler onLost) override;
    void stop() override;
    bool isRunning() const override { return m_running; }
    // Delivers a chunk as the capture thread would.
    void feed(const QByteArray &chunk);

private:
    EventLog m_log;
    PCMHandler m_handler;
    bool m_running = false;
};

class FakeRealtimeTranscriber final : public AbstractRealtimeTranscriber {
public:
    FakeRealtimeTranscriber(RealtimeTranscriberCallbacks callbacks, EventLog log)
        : callbacks(std::move(callbacks))
        , m_log(std::move(log))
    {
    }
    RealtimeTranscriberCallbacks callbacks;
    std::optional<QString> connectError;
    bool disconnectThrows = false;
    Gate *connectGate = nullptr;
    QString apiKey, prompt;
    QStringList keywords;
    QByteArray audio;
    int commits = 0;
    int disconnects = 0;

    QCoro::Task<void> connect(QString apiKey, QString prompt, QStringList keywords) override;
    QCoro::Task<void> appendAudio(QByteArray pcm) override;
    QCoro::Task<void> commit() override;
    QCoro::Task<void> disconnect() override;

private:
    EventLog m_log;
};

// A provider call the test answers when it wants to.
struct ScriptedAnswer {
    std::optional<QString> text; // success
    std::optional<QString> error; // failure description
    Gate *gate = nullptr;
    bool throwsUnknown = false; // throws something that is not a std::exception
};

class FakeVorsikAPIClient final : public AbstractVorsikAPIClient {
public:
    ScriptedAnswer answer { QString(), std::nullopt, nullptr };
    QByteArray pcm;
    SmartMode mode = SmartMode::verbatim;
    QString context;
    QStringList vocabulary;
    int calls = 0;
    QCoro::Task<QString> transcribeAndEdit(
        QByteArray pcmAudio, SmartMode mode, QString context, QStringList vocabulary) override;
};

class FakeGigaChatClient final : public AbstractGigaChatClient {
public:
    ScriptedAnswer answer { QString(), std::nullopt, nullptr };
    QByteArray pcm;
    QString key;
    SmartMode mode = SmartMode::verbatim;
    int calls = 0;
    QCoro::Task<QString> transcribeAndEdit(QByteArray pcmAudio, QString authorizationKey, SmartMode mode,
        QString context, QStringList vocabulary) override;
};

class FakeTextPolisher final : public AbstractTextPolisher {
public:
    ScriptedAnswer answer { QString(), std::nullopt, nullptr };
    QString text;
    SmartMode mode = SmartMode::verbatim;
    TextPolisher::Quality quality = TextPolisher::Quality::fast;
    QString apiKey;
    int calls = 0;
    QCoro::Task<QString> polish(QString text, SmartMode mode, TextPolisher::Quality quality, QString context,
        QStringList vocabulary, QString apiKey) override;
};

class FakeTextInserter final : public AbstractTextInserter {
public:
    explicit FakeTextInserter(EventLog log)
        : m_log(std::move(log))
    {
    }
    std::optional<TextInsertionTarget> target;
    TextInsertionOutcome outcome = TextInsertionOutcome::inserted();
    Gate *gate = nullptr;
    Gate *captureGate = nullptr;
    bool insertThrows = false;
    int captures = 0;
    QStringList insertedTexts;
    std::vector<std::optional<TextInsertionTarget>> insertTargets;

    QCoro::Task<std::optional<TextInsertionTarget>> captureTarget() override;
    QCoro::Task<TextInsertionOutcome> insert(QString text, std::optional<TextInsertionTarget> target) override;

private:
    EventLog m_log;
};

class FakeOverlay final : public AbstractOverlay {
public:
    explicit FakeOverlay(EventLog log)
        : m_log(std::move(log))
    {
    }
    QString transcriptText;
    void showConnecting() override;
    void showListening() override;
    void showProcessing(const QString &title) override;
    void showEditing() override;
    void presentResult(const QString &title, const QString &message, const QString &text) override;
    void showMessage(
        const QString &title, const QString &detail, MascotState mascot, std::chrono::milliseconds hideAfter) override;
    void setTranscriptText(const QString &text) override;

private:
    EventLog m_log;
};

class FakeOnboardingWindow final : public AbstractOnboardingWindow {
public:
    explicit FakeOnboardingWindow(EventLog log)
        : m_log(std::move(log))
    {
    }
    OnboardingStep step = OnboardingStep::welcome;
    OnboardingStep currentStep() const override { return step; }
    void show() override;
    void showTestConnecting() override;
    void showTestListening() override;
    void showTestProcessing() override;
    void showTestError(const QString &message) override;
    void showTestResult(const QString &text) override;
    void setOnFinish(std::function<void()> callback) override { onFinish = std::move(callback); }
    std::function<void()> onFinish;

private:
    EventLog m_log;
};

class FakeSettingsWindow final : public AbstractSettingsWindow {
public:
    explicit FakeSettingsWindow(EventLog log)
        : m_log(std::move(log))
    {
    }
    void show() override;

private:
    EventLog m_log;
};

class FakeMenuBar final : public AbstractMenuBar {
public:
    int refreshes = 0;
    void updateMenuBar() override { ++refreshes; }
};

// A full set of fakes wired into a Neighbours struct.
struct FakeNeighbourhood {
    EventLog log = std::make_shared<QStringList>();
    FakeKeychain keychain;
    FakeBackendConfiguration backend;
    FakeMicrophonePermission microphone;
    FakeAudioRecorder recorder { log };
    // Kept here after the controller drops them, so tests can look at them and
    // fire late callbacks.
    std::vector<std::shared_ptr<FakeRealtimeTranscriber>> transcribers;
    std::optional<QString> nextTranscriberConnectError;
    bool nextTranscriberDisconnectThrows = false;
    Gate *nextTranscriberConnectGate = nullptr;
    FakeVorsikAPIClient vorsik;
    FakeGigaChatClient gigaChat;
    FakeTextPolisher polisher;
    FakeTextInserter inserter { log };
    FakeOverlay overlay { log };
    FakeOnboardingWindow onboarding { log };
    FakeSettingsWindow settings { log };
    FakeMenuBar menuBar;

    DictationSessionController::Neighbours neighbours();

    FakeRealtimeTranscriber *lastTranscriber() const
    {
        return transcribers.empty() ? nullptr : transcribers.back().get();
    }
};
