#pragma once

// Fakes for every neighbour of the session controller. What the user would see lands
// in one shared event log, so a test checks the order of it all; every answer is
// scripted the same way: at once, after a gate opens, or by throwing.

#include "audio/pcmbuffercollector.h"
#include "core/abstractaccessibilitypermission.h"
#include "core/describederror.h"
#include "core/dictationsessioncontroller.h"
#include "testutil.h"

#include <QCoro/QCoroTimer>
#include <QHash>
#include <QStringList>

#include <algorithm>
#include <memory>
#include <vector>

using EventLog = std::shared_ptr<QStringList>;

template<typename T> struct Scripted {
    Scripted(T answer = {})
        : value(std::move(answer))
    {
    }
    T value;
    std::optional<QString> error; // thrown as DescribedError
    Gate *gate = nullptr; // when set, the answer waits for it
    std::chrono::milliseconds delay {}; // the answer comes this much later
    int calls = 0;

    QCoro::Task<T> call()
    {
        ++calls;
        if (gate)
            co_await gate->wait();
        if (delay.count())
            co_await QCoro::sleepFor(delay);
        if (error)
            throw DescribedError(*error);
        co_return T(value); // QCoro moves from a co_returned lvalue
    }
};

struct Logged {
    EventLog log;
    void note(const QString &entry, const QStringList &details = {}) const
    {
        log->append((QStringList { entry } + details).join(u'|'));
    }
};

struct FakeKeychain final : AbstractKeychain {
    QHash<QString, QString> items;
    Scripted<bool> reads; // a gate is the unlock prompt
    QCoro::Task<std::optional<QString>> read(QString account) override
    {
        co_await reads.call();
        co_return items.contains(account) ? std::optional(items.value(account)) : std::nullopt;
    }
};

struct FakeBackendConfiguration final : AbstractBackendConfiguration {
    bool configured = true;
    bool isConfigured() const override { return configured; }
};

struct FakeAudioRecorder final : AbstractAudioRecorder, Logged {
    Scripted<bool> starts;
    PCMHandler handler;
    QCoro::Task<> start(PCMHandler onPCMData, LossHandler) override
    {
        if (handler)
            co_return;
        co_await starts.call();
        handler = std::move(onPCMData);
        note(QStringLiteral("recorder.start"));
    }
    QFuture<void> stop() override
    {
        if (std::exchange(handler, nullptr))
            note(QStringLiteral("recorder.stop"));
        return QtFuture::makeReadyFuture();
    }
    bool isRunning() const override { return handler != nullptr; }
    void feed(const QByteArray &chunk) const { handler ? handler(chunk) : void(); } // as the capture thread would
};

struct FakeRealtimeTranscriber final : AbstractRealtimeTranscriber, Logged {
    RealtimeTranscriberCallbacks callbacks;
    Scripted<bool> connecting, committing, disconnecting;
    QStringList connectedWith; // key, prompt and the number of keywords
    QByteArray audio;
    QCoro::Task<void> connect(QString key, QString prompt, QStringList keywords) override
    {
        connectedWith = { key, prompt, QString::number(keywords.size()) };
        note(QStringLiteral("transcriber.connect"));
        co_await connecting.call();
    }
    QCoro::Task<void> appendAudio(QByteArray pcm) override
    {
        audio.append(pcm);
        co_return;
    }
    QCoro::Task<void> commit() override
    {
        note(QStringLiteral("transcriber.commit"));
        co_await committing.call();
    }
    QCoro::Task<void> disconnect() override
    {
        note(QStringLiteral("transcriber.disconnect"));
        co_await disconnecting.call();
    }
};

// The controller owns what the factory returns; the fake itself stays with the test.
struct TranscriberHandle final : AbstractRealtimeTranscriber {
    std::shared_ptr<AbstractRealtimeTranscriber> fake;
    explicit TranscriberHandle(std::shared_ptr<AbstractRealtimeTranscriber> f)
        : fake(std::move(f))
    {
    }
    QCoro::Task<void> connect(QString a, QString p, QStringList k) override { return fake->connect(a, p, k); }
    QCoro::Task<void> appendAudio(QByteArray pcm) override { return fake->appendAudio(pcm); }
    QCoro::Task<void> commit() override { return fake->commit(); }
    QCoro::Task<void> disconnect() override { return fake->disconnect(); }
};

// Any provider: keeps what it was sent, the audio apart and the rest as text.
struct FakeProvider final : AbstractVorsikAPIClient, AbstractGigaChatClient, AbstractTextPolisher {
    Scripted<QString> answer;
    QByteArray pcm;
    QStringList sent;
    QCoro::Task<QString> transcribeAndEdit(
        QByteArray audio, SmartMode mode, QString context, QStringList words) override
    {
        return transcribeAndEdit(audio, {}, mode, context, words);
    }
    QCoro::Task<QString> transcribeAndEdit(
        QByteArray audio, QString key, SmartMode mode, QString context, QStringList words) override
    {
        pcm = audio;
        sent = QStringList { key, rawValue(mode), context, words.join(u'|') };
        sent.removeAll(QString());
        return answer.call();
    }
    QCoro::Task<QString> polish(QString text, SmartMode mode, TextPolisher::Quality quality, QString context,
        QStringList words, QString key) override
    {
        sent = { text, rawValue(mode), rawValue(quality), context, words.join(u'|'), key };
        return answer.call();
    }
};

struct FakeTextInserter final : AbstractTextInserter, Logged {
    std::optional<TextInsertionTarget> target;
    Scripted<bool> capturing;
    Scripted<TextInsertionOutcome> inserting { TextInsertionOutcome::inserted() };
    QStringList insertedTexts;
    std::vector<std::optional<TextInsertionTarget>> insertTargets;
    QCoro::Task<std::optional<TextInsertionTarget>> captureTarget() override
    {
        note(QStringLiteral("inserter.capture"));
        co_await capturing.call();
        co_return target;
    }
    QCoro::Task<TextInsertionOutcome> insert(QString text, std::optional<TextInsertionTarget> t) override
    {
        insertedTexts.append(text);
        insertTargets.push_back(t);
        note(QStringLiteral("inserter.insert"), { text });
        return inserting.call();
    }
};

struct FakeOverlay final : AbstractOverlay, Logged {
    void showConnecting() override { note(QStringLiteral("overlay.connecting")); }
    void showListening() override { note(QStringLiteral("overlay.listening")); }
    void showProcessing(const QString &title) override { note(QStringLiteral("overlay.processing"), { title }); }
    void showEditing() override { note(QStringLiteral("overlay.editing")); }
    void presentResult(const QString &title, const QString &message, const QString &text) override
    {
        note(QStringLiteral("overlay.result"), { title, message, text });
    }
    void showMessage(
        const QString &title, const QString &detail, MessageTone tone, std::chrono::milliseconds hideAfter) override
    {
        note(QStringLiteral("overlay.message"),
            { title, detail, tone == MessageTone::success ? QStringLiteral("success") : QStringLiteral("failure"),
                QString::number(hideAfter.count()) });
    }
    void setTranscriptText(const QString &text) override { note(QStringLiteral("overlay.transcript"), { text }); }
};

struct FakeOnboardingWindow final : AbstractOnboardingWindow, Logged {
    bool atTestDictation = false;
    std::function<void()> onFinish;
    bool awaitsTestDictation() const override { return atTestDictation; }
    void show() override { note(QStringLiteral("onboarding.show")); }
    void showTestConnecting() override { note(QStringLiteral("onboarding.connecting")); }
    void showTestListening() override { note(QStringLiteral("onboarding.listening")); }
    void showTestProcessing() override { note(QStringLiteral("onboarding.processing")); }
    void showTestError(const QString &message) override { note(QStringLiteral("onboarding.error"), { message }); }
    void showTestResult(const QString &text) override { note(QStringLiteral("onboarding.result"), { text }); }
    void setOnFinish(std::function<void()> callback) override { onFinish = std::move(callback); }
};

// The test decides when the permission counts as granted.
struct FakeAccessibilityPermission final : AbstractAccessibilityPermission {
    bool busEnabled = false;
    int requests = 0;
    bool isBusEnabled() override { return busEnabled; }
    void enableBus() override { ++requests; }
};

struct FakeSettingsWindow final : AbstractSettingsWindow, Logged {
    void show() override { note(QStringLiteral("settings.show")); }
    void showModels() override { note(QStringLiteral("settings.models")); }
};

// Its recognisers are the neighbourhood's scripted transcribers, or those of `real` where
// it is set; the clean-up is marked.
struct FakeLocalRecognition final : AbstractLocalRecognition, Logged {
    std::optional<QString> unavailable;
    RealtimeTranscriberFactory make;
    AbstractLocalRecognition *real = nullptr;
    std::vector<std::weak_ptr<AbstractRealtimeTranscriber>> realOnes; // gone once the dictation drops them
    std::optional<QString> unavailableReason() override { return real ? real->unavailableReason() : unavailable; }
    std::unique_ptr<AbstractRealtimeTranscriber> makeTranscriber(
        RealtimeTranscriberCallbacks callbacks, SmartMode mode) override
    {
        note(QStringLiteral("local.recogniser"), { rawValue(mode) });
        if (!real)
            return make(std::move(callbacks));
        std::shared_ptr<AbstractRealtimeTranscriber> made = real->makeTranscriber(std::move(callbacks), mode);
        realOnes.push_back(made);
        return std::make_unique<TranscriberHandle>(std::move(made));
    }
    QString cleanUp(const QString &text, SmartMode mode) override
    {
        if (real)
            return real->cleanUp(text, mode);
        return mode == SmartMode::verbatim ? text : text + QStringLiteral(" (чисто)");
    }
};

// A collector that counts how many are alive.
struct CountedCollector final : AbstractPCMCollector {
    PCMBufferCollector buffer;
    std::shared_ptr<int> alive;
    explicit CountedCollector(std::shared_ptr<int> count)
        : alive(std::move(count))
    {
        ++*alive;
    }
    ~CountedCollector() override { --*alive; }
    void append(const QByteArray &pcm) override { buffer.append(pcm); }
    QByteArray takeAll() override { return buffer.takeAll(); }
};

// A full set of fakes wired into a Neighbours struct.
struct FakeNeighbourhood {
    EventLog log = std::make_shared<QStringList>();
    FakeKeychain keychain;
    FakeBackendConfiguration backend;
    FakeAudioRecorder recorder;
    // Kept here after the controller drops them, so tests can fire late callbacks.
    std::vector<std::shared_ptr<FakeRealtimeTranscriber>> transcribers;
    FakeRealtimeTranscriber nextTranscriber; // the script every new one copies
    FakeProvider vorsik, gigaChat, polisher;
    FakeTextInserter inserter;
    FakeOverlay overlay;
    FakeOnboardingWindow onboarding;
    FakeSettingsWindow settings;
    FakeLocalRecognition local;
    std::shared_ptr<int> collectors = std::make_shared<int>(0); // alive now

    FakeNeighbourhood()
    {
        recorder.log = nextTranscriber.log = inserter.log = overlay.log = onboarding.log = settings.log = local.log
            = log;
        local.make = makeTranscriber();
    }
    RealtimeTranscriberFactory makeTranscriber()
    {
        return [this](RealtimeTranscriberCallbacks callbacks) {
            transcribers.push_back(std::make_shared<FakeRealtimeTranscriber>(nextTranscriber));
            transcribers.back()->callbacks = std::move(callbacks);
            return std::make_unique<TranscriberHandle>(transcribers.back());
        };
    }
    DictationSessionController::Neighbours neighbours()
    {
        return { { &backend, [this] { return std::make_unique<CountedCollector>(collectors); }, makeTranscriber(),
                     &vorsik, &gigaChat, &polisher, &local },
            &keychain, &recorder, &inserter, &overlay, &onboarding, &settings };
    }
    // Transcribers and collectors a dictation still holds: the test keeps only its own share.
    int transcribersHeld() const
    {
        return int(
            std::count_if(transcribers.begin(), transcribers.end(), [](const auto &t) { return t.use_count() > 1; }));
    }
    FakeRealtimeTranscriber *lastTranscriber() const
    {
        return transcribers.empty() ? nullptr : transcribers.back().get();
    }
};
