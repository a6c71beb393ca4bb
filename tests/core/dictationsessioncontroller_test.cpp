#include "appsettings.h"
#include "dictationsessioncontroller.h"
#include "fakeneighbours.h"
#include "testutil.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
namespace Keys = AppSettings::Keys;

namespace {

const QString inserted = u"overlay.message|✓  Текст вставлен||happy|3500"_s;

QString failure(const QString &detail) { return u"overlay.message|Не понял…|%1|confused|4500"_s.arg(detail); }
const QString failureNoBackend = failure(u"Установите тестовую сборку российского контура"_s);

const auto byName = [](const auto &info) { return std::string(info.param.name); };

class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestUtil::clearSettings();
        AppSettings::setBool(Keys::onboardingCompleted, true);
        TextInsertionTarget target;
        target.applicationPID = 4242;
        f.inserter.target = target;
        f.keychain.items.insert(u"openai-api-key"_s, u"sk-test"_s);
        f.keychain.items.insert(u"gigachat-authorization-key"_s, u"giga-key"_s);
        controller = std::make_unique<DictationSessionController>(f.neighbours());
        controller->setTimings({ .testDictationPause = 10ms });
    }

    void useProvider(const QString &raw) { AppSettings::setString(Keys::aiProvider, raw); }
    void startOnboardingTest()
    {
        AppSettings::setBool(Keys::onboardingCompleted, false);
        f.onboarding.step = OnboardingStep::ready;
    }
    bool reach(DictationState state)
    {
        return TestUtil::runUntil([&] { return controller->state() == state; });
    }
    // Fn, speak two chunks, Fn: leaves the dictation processing (or beyond).
    void dictate()
    {
        controller->toggleFnDictation();
        ASSERT_TRUE(reach(DictationState::recording));
        f.recorder.feed("\x01\x02");
        f.recorder.feed("\x03\x04");
        controller->toggleFnDictation();
    }
    QStringList log() const { return *f.log; }

    FakeNeighbourhood f;
    std::unique_ptr<DictationSessionController> controller;
};

template<typename Case> class ControllerTable : public ControllerTest, public ::testing::WithParamInterface<Case> {
};

// ---- start preconditions ---------------------------------------------------

struct PreconditionCase {
    const char *name;
    std::optional<QString> provider;
    bool backendConfigured;
    std::optional<QString> openAIKey; // none: no item
    QString expectedMessage;
};
void PrintTo(const PreconditionCase &c, std::ostream *out) { *out << c.name; }
using PreconditionTest = ControllerTable<PreconditionCase>;

TEST_P(PreconditionTest, FailedPreconditionShowsTheMessageAndOpensSettings)
{
    const PreconditionCase &c = GetParam();
    if (c.provider)
        useProvider(*c.provider);
    f.backend.configured = c.backendConfigured;
    f.keychain.items.clear();
    if (c.openAIKey)
        f.keychain.items.insert(u"openai-api-key"_s, *c.openAIKey);

    controller->toggleFnDictation();
    TestUtil::runFor(20ms);
    EXPECT_EQ(controller->state(), DictationState::idle);
    EXPECT_EQ(log(), (QStringList { c.expectedMessage, u"settings.show"_s }));
    EXPECT_EQ(f.inserter.captures, 0);
    EXPECT_EQ(f.recorder.starts, 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, PreconditionTest,
    ::testing::Values(
        PreconditionCase { "absentProviderNoBackend", std::nullopt, false, std::nullopt, failureNoBackend },
        PreconditionCase { "lowercaseOpenAIMeansOwnBackend", u"openai"_s, false, u"sk"_s, failureNoBackend },
        PreconditionCase { "openAIWithoutKey", u"openAI"_s, true, std::nullopt, failure(u"Добавьте OpenAI API key"_s) },
        PreconditionCase { "openAIWithEmptyKey", u"openAI"_s, true, QString(), failure(u"Добавьте OpenAI API key"_s) },
        PreconditionCase {
            "gigaChatWithoutKey", u"gigaChat"_s, true, u"sk"_s, failure(u"Добавьте Authorization Key GigaChat"_s) }),
    byName);

// ---- a whole dictation -----------------------------------------------------

TEST_F(ControllerTest, OwnBackendDictationPastesTheTrimmedTextAndResets)
{
    AppSettings::setSmartMode(SmartMode::structured);
    AppSettings::setString(Keys::customVocabulary, u"Ворсик, Qt"_s);
    f.vorsik.answer.text = u"  Привет, мир \n"_s;
    dictate();
    ASSERT_TRUE(reach(DictationState::idle));

    EXPECT_EQ(log(),
        (QStringList { u"inserter.capture"_s, u"overlay.connecting"_s, u"recorder.start"_s, u"overlay.listening"_s,
            u"recorder.stop"_s, u"overlay.editing"_s, u"inserter.insert|Привет, мир"_s, inserted }));
    EXPECT_EQ(f.vorsik.pcm, QByteArray("\x01\x02\x03\x04"));
    EXPECT_EQ(f.vorsik.mode, SmartMode::structured);
    EXPECT_EQ(f.vorsik.vocabulary, (QStringList { u"Ворсик"_s, u"Qt"_s }));
    EXPECT_EQ(f.vorsik.context, AppSettings::defaultTranscriptionPrompt());
    ASSERT_EQ(f.inserter.insertTargets.size(), 1u);
    EXPECT_EQ(f.inserter.insertTargets[0].value().applicationPID, 4242);
    EXPECT_EQ(AppSettings::lastText(), u"Привет, мир"_s);
    EXPECT_FALSE(controller->insertionTarget().has_value());
    EXPECT_FALSE(controller->hasCollector());
    EXPECT_GE(f.menuBar.refreshes, 6);
}

struct OutcomeCase {
    const char *name;
    TextInsertionOutcome outcome;
    QString shown;
};
void PrintTo(const OutcomeCase &c, std::ostream *out) { *out << c.name; }
using OutcomeTest = ControllerTable<OutcomeCase>;

TEST_P(OutcomeTest, EachPasteOutcomeIsReported)
{
    f.vorsik.answer.text = u"текст"_s;
    f.inserter.outcome = GetParam().outcome;
    dictate();
    ASSERT_TRUE(reach(DictationState::idle));
    EXPECT_EQ(log().last(), GetParam().shown);
    EXPECT_EQ(AppSettings::lastText(), u"текст"_s);
}

QString saved(const QString &why)
{
    return u"overlay.result|Текст сохранён|%1 Нажмите «Скопировать».|текст"_s.arg(why);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, OutcomeTest,
    ::testing::Values(OutcomeCase { "noPermission", TextInsertionOutcome::needsAccessibilityPermission(),
                          saved(u"Нет разрешения на автоматическую вставку."_s) },
        OutcomeCase { "unconfirmed", TextInsertionOutcome::unconfirmed(),
            saved(u"Ворсик не смог подтвердить, что поле приняло текст."_s) },
        OutcomeCase { "targetChanged", TextInsertionOutcome::targetChanged(u"Открыто другое окно."_s),
            saved(u"Открыто другое окно."_s) }),
    byName);

// ---- failures ----------------------------------------------------------------

struct FailureCase {
    const char *name;
    bool testDictation;
    std::function<void(FakeNeighbourhood &)> arrange;
    QString shown;
};
void PrintTo(const FailureCase &c, std::ostream *out) { *out << c.name; }
using FailureTest = ControllerTable<FailureCase>;

TEST_P(FailureTest, FailureEndsIdleWithoutTargetAndKeepsTheLastText)
{
    AppSettings::setString(Keys::lastText, u"старый"_s);
    if (GetParam().testDictation)
        startOnboardingTest();
    GetParam().arrange(f);

    controller->toggleFnDictation();
    ASSERT_TRUE(TestUtil::runUntil([&] { return controller->state() != DictationState::connecting; }));
    if (controller->state() == DictationState::recording)
        controller->toggleFnDictation();
    ASSERT_TRUE(reach(DictationState::idle));
    TestUtil::runFor(20ms);

    EXPECT_EQ(log().last(), GetParam().shown);
    EXPECT_FALSE(controller->insertionTarget().has_value());
    EXPECT_FALSE(controller->isOnboardingTestDictation());
    EXPECT_TRUE(f.inserter.insertedTexts.isEmpty());
    EXPECT_EQ(AppSettings::lastText(), u"старый"_s);
    EXPECT_FALSE(f.recorder.isRunning());
    if (f.lastTranscriber()) {
        EXPECT_EQ(f.lastTranscriber()->disconnects, 1);
    }
}

const auto noMicrophone = [](FakeNeighbourhood &n) { n.microphone.granted = false; };
const auto recorderFails = [](FakeNeighbourhood &n) { n.recorder.startError = u"Микрофон не найден."_s; };
const auto providerFails = [](FakeNeighbourhood &n) { n.vorsik.answer = { std::nullopt, u"Сервер недоступен."_s }; };
const auto nothingHeard = [](FakeNeighbourhood &n) { n.vorsik.answer.text = u" \n "_s; };
const auto openAIUnreachable = [](FakeNeighbourhood &n) {
    AppSettings::setString(Keys::aiProvider, u"openAI"_s);
    n.nextTranscriberConnectError = u"Нет соединения с OpenAI."_s;
};

INSTANTIATE_TEST_SUITE_P(Failures, FailureTest,
    ::testing::Values(FailureCase { "microphoneDenied", false, noMicrophone, failure(u"Нужен доступ к микрофону"_s) },
        FailureCase { "microphoneDeniedInTest", true, noMicrophone, u"onboarding.error|нужен доступ к микрофону"_s },
        FailureCase { "recorderFails", false, recorderFails, failure(u"Микрофон не найден."_s) },
        FailureCase { "recorderFailsInTest", true, recorderFails, u"onboarding.error|Микрофон не найден."_s },
        FailureCase { "providerFails", false, providerFails, failure(u"Сервер недоступен."_s) },
        FailureCase { "providerFailsInTest", true, providerFails, u"onboarding.error|Сервер недоступен."_s },
        FailureCase { "nothingRecognised", false, nothingHeard, failure(u"Речь не распознана"_s) },
        FailureCase { "nothingRecognisedInTest", true, nothingHeard, u"onboarding.error|речь не распознана"_s },
        FailureCase { "openAIUnreachable", false, openAIUnreachable, failure(u"Нет соединения с OpenAI."_s) },
        FailureCase {
            "openAIUnreachableInTest", true, openAIUnreachable, u"onboarding.error|Нет соединения с OpenAI."_s }),
    byName);

// ---- unexpected throws from detached steps -----------------------------------

struct ThrowCase {
    const char *name;
    std::function<void(FakeNeighbourhood &)> arrange;
    QString shown;
};
void PrintTo(const ThrowCase &c, std::ostream *out) { *out << c.name; }
using ThrowTest = ControllerTable<ThrowCase>;

TEST_P(ThrowTest, AThrowEndsTheDictationShowsItAndTheNextPressWorks)
{
    f.vorsik.answer.text = u"текст"_s;
    GetParam().arrange(f);
    dictate();
    if (auto *t = f.lastTranscriber()) {
        ASSERT_TRUE(TestUtil::runUntil([&] { return t->commits == 1; }));
        t->callbacks.onFinal(u"текст"_s);
    }
    ASSERT_TRUE(reach(DictationState::idle));
    EXPECT_EQ(log().last(), GetParam().shown);
    EXPECT_FALSE(controller->insertionTarget().has_value());
    EXPECT_FALSE(controller->hasCollector());
    EXPECT_FALSE(controller->hasTranscriber());

    f.inserter.insertThrows = false;
    f.vorsik.answer = { u"снова"_s, std::nullopt, nullptr };
    f.nextTranscriberDisconnectThrows = false;
    dictate();
    if (auto *t = f.lastTranscriber()) {
        ASSERT_TRUE(TestUtil::runUntil([&] { return t->commits == 1; }));
        t->callbacks.onFinal(u"снова"_s);
    }
    ASSERT_TRUE(reach(DictationState::idle));
    EXPECT_EQ(log().last(), inserted);
}

INSTANTIATE_TEST_SUITE_P(Throws, ThrowTest,
    ::testing::Values(ThrowCase { "inserter", [](FakeNeighbourhood &n) { n.inserter.insertThrows = true; },
                          failure(u"inserter broke"_s) },
        ThrowCase { "provider", [](FakeNeighbourhood &n) { n.vorsik.answer.throwsUnknown = true; },
            failure(u"Внутренняя ошибка Ворсика."_s) },
        ThrowCase { "transcriberDisconnect",
            [](FakeNeighbourhood &n) {
                AppSettings::setString(Keys::aiProvider, u"openAI"_s);
                AppSettings::setString(Keys::smartMode, u"verbatim"_s);
                n.nextTranscriberDisconnectThrows = true;
            },
            failure(u"socket closed twice"_s) }),
    byName);

// ---- a keyring that answers late (its unlock prompt is up) -------------------

struct SlowKeyringCase {
    const char *name;
    const char *provider;
    // What happens while the read is pending; false when the controller is gone.
    std::function<bool(std::unique_ptr<DictationSessionController> &)> meanwhile;
    bool readThrows;
    QStringList shown; // after the answer came
};
void PrintTo(const SlowKeyringCase &c, std::ostream *out) { *out << c.name; }
using SlowKeyringTest = ControllerTable<SlowKeyringCase>;

TEST_P(SlowKeyringTest, TheMainThreadRunsOnAndALateAnswerIsUsedOnlyWhenStillWanted)
{
    const SlowKeyringCase &c = GetParam();
    useProvider(QString::fromLatin1(c.provider));
    Gate unlocked;
    f.keychain.gate = &unlocked;
    f.keychain.throws = c.readThrows;
    controller->toggleFnDictation();
    TestUtil::runFor(30ms);
    EXPECT_TRUE(controller->isReadingKey());
    EXPECT_EQ(controller->state(), DictationState::idle);
    const bool alive = c.meanwhile(controller);
    unlocked.open();
    TestUtil::runFor(30ms);
    EXPECT_EQ(log(), c.shown);
    if (!alive)
        return;
    EXPECT_FALSE(controller->isReadingKey());
    if (controller->state() == DictationState::idle) {
        f.keychain.throws = false; // the next press starts afresh
        controller->toggleFnDictation();
        EXPECT_TRUE(reach(DictationState::recording));
    }
    // So that the audio forwarder is not left waiting for its wake-up at exit.
    controller->prepareForTermination();
    QCoreApplication::sendPostedEvents();
}

const auto waitForAnswer = [](std::unique_ptr<DictationSessionController> &) { return true; };
const QStringList recordingShown { u"inserter.capture"_s, u"overlay.connecting"_s, u"recorder.start"_s,
    u"overlay.listening"_s };

INSTANTIATE_TEST_SUITE_P(Cases, SlowKeyringTest,
    ::testing::Values(
        SlowKeyringCase { "gigaChatStartsOnceUnlocked", "gigaChat", waitForAnswer, false, recordingShown },
        SlowKeyringCase { "openAIStartsOnceUnlocked", "openAI", waitForAnswer, false,
            { u"inserter.capture"_s, u"overlay.connecting"_s, u"transcriber.connect"_s, u"recorder.start"_s,
                u"overlay.listening"_s } },
        SlowKeyringCase { "secondFnPressGivesUp", "gigaChat",
            [](std::unique_ptr<DictationSessionController> &c) {
                c->toggleFnDictation();
                return true;
            },
            false, {} },
        SlowKeyringCase { "programEnds", "openAI",
            [](std::unique_ptr<DictationSessionController> &c) {
                c->prepareForTermination();
                c.reset();
                return false;
            },
            false, {} },
        SlowKeyringCase { "readThrows", "openAI", waitForAnswer, true, { failure(u"keyring broke"_s) } }),
    byName);

TEST_F(ControllerTest, PasteWaitsForASlowCaptureAndUsesItsTarget)
{
    Gate capture;
    f.inserter.captureGate = &capture;
    f.vorsik.answer.text = u"текст"_s;
    dictate();
    TestUtil::runFor(50ms);
    EXPECT_TRUE(f.inserter.insertedTexts.isEmpty()) << "no paste before the target is known";
    capture.open();
    ASSERT_TRUE(reach(DictationState::idle));
    ASSERT_EQ(f.inserter.insertTargets.size(), 1u);
    EXPECT_EQ(f.inserter.insertTargets[0]->applicationPID, 4242);
}

// ---- toggles while busy ------------------------------------------------------

TEST_F(ControllerTest, MenuToggleDoesNothingWhileConnectingOrProcessing)
{
    Gate permission, answer;
    f.microphone.gate = &permission;
    f.vorsik.answer = { u"текст"_s, std::nullopt, &answer };
    controller->toggleFnDictation();
    controller->toggleDictation();
    EXPECT_EQ(controller->state(), DictationState::connecting);
    EXPECT_FALSE(controller->stopWhenRecordingStarts());

    permission.open();
    ASSERT_TRUE(reach(DictationState::recording));
    controller->toggleDictation();
    EXPECT_EQ(controller->state(), DictationState::processing);
    controller->toggleDictation();
    controller->toggleFnDictation();
    EXPECT_EQ(controller->state(), DictationState::processing);
    EXPECT_EQ(f.vorsik.calls, 1);
    answer.open();
    ASSERT_TRUE(reach(DictationState::idle));
}

TEST_F(ControllerTest, FnTwiceWhileConnectingStopsAsSoonAsRecordingBeginsEvenAfterAFailedStart)
{
    // Fn twice while connecting, then the recorder fails: the wish to stop survives.
    const auto fnTwiceThenFailedStart = [&] {
        Gate permission;
        f.microphone.gate = &permission;
        f.recorder.startError = u"Микрофон не найден."_s;
        controller->toggleFnDictation();
        controller->toggleFnDictation();
        EXPECT_EQ(controller->state(), DictationState::connecting);
        permission.open();
        ASSERT_TRUE(reach(DictationState::idle));
        EXPECT_TRUE(controller->stopWhenRecordingStarts());
        f.microphone.gate = nullptr;
        f.recorder.startError.reset();
    };
    fnTwiceThenFailedStart();

    // A start from the menu keeps the flag: recording stops as soon as it begins, and the text is pasted.
    f.vorsik.answer.text = u"быстро"_s;
    controller->toggleDictation();
    ASSERT_TRUE(reach(DictationState::idle));
    EXPECT_FALSE(log().contains(u"overlay.listening"_s));
    EXPECT_TRUE(log().contains(u"recorder.stop"_s));
    EXPECT_EQ(f.inserter.insertedTexts, QStringList { u"быстро"_s });
    EXPECT_FALSE(controller->stopWhenRecordingStarts());

    // A start by Fn clears it first.
    fnTwiceThenFailedStart();
    controller->toggleFnDictation();
    EXPECT_FALSE(controller->stopWhenRecordingStarts());
    ASSERT_TRUE(reach(DictationState::recording));
    EXPECT_TRUE(log().contains(u"overlay.listening"_s));
}

// ---- GigaChat and OpenAI -------------------------------------------------------

TEST_F(ControllerTest, GigaChatReadsTheKeyAgainWhenTheRecordingStops)
{
    useProvider(u"gigaChat"_s);
    f.gigaChat.answer.text = u"гига"_s;
    controller->toggleFnDictation();
    ASSERT_TRUE(reach(DictationState::recording));
    f.keychain.items.insert(u"gigachat-authorization-key"_s, u"new-key"_s);
    f.recorder.feed("\x05\x06");
    controller->toggleFnDictation();
    ASSERT_TRUE(reach(DictationState::idle));
    EXPECT_EQ(f.gigaChat.key, u"new-key"_s);
    EXPECT_EQ(f.gigaChat.pcm, QByteArray("\x05\x06"));
    EXPECT_EQ(f.gigaChat.mode, SmartMode::clean);
    EXPECT_EQ(log().last(), inserted);
}

class OpenAIControllerTest : public ControllerTest {
protected:
    void SetUp() override
    {
        ControllerTest::SetUp();
        useProvider(u"openAI"_s);
    }
    FakeRealtimeTranscriber &transcriber() { return *f.lastTranscriber(); }
    void speakAndStop()
    {
        dictate();
        ASSERT_TRUE(TestUtil::runUntil([&] { return transcriber().commits == 1; }));
    }
    void finish(const QString &final)
    {
        transcriber().callbacks.onFinal(final);
        ASSERT_TRUE(reach(DictationState::idle));
        QCoreApplication::sendPostedEvents(); // the audio forwarder's queued wake-up ends it
    }
};

TEST_F(OpenAIControllerTest, StreamsAudioCommitsAndPolishesTheFinalText)
{
    AppSettings::setString(Keys::textQuality, u"maximum"_s);
    f.polisher.answer.text = u"Отредактировано."_s;
    speakAndStop();
    EXPECT_EQ(transcriber().apiKey, u"sk-test"_s);
    EXPECT_EQ(transcriber().prompt, AppSettings::defaultTranscriptionPrompt());
    EXPECT_EQ(transcriber().keywords.size(), 5);
    EXPECT_EQ(transcriber().audio, QByteArray("\x01\x02\x03\x04")) << "every chunk is handed over before commit";
    EXPECT_TRUE(log().contains(u"overlay.processing|Завершаю распознавание…"_s));

    finish(u"сырой текст"_s);
    EXPECT_EQ(f.polisher.text, u"сырой текст"_s);
    EXPECT_EQ(f.polisher.mode, SmartMode::clean);
    EXPECT_EQ(f.polisher.quality, TextPolisher::Quality::maximum);
    EXPECT_EQ(f.polisher.apiKey, u"sk-test"_s);
    EXPECT_EQ(f.inserter.insertedTexts, QStringList { u"Отредактировано."_s });
    EXPECT_EQ(transcriber().disconnects, 1);
    EXPECT_FALSE(controller->hasTranscriber());
}

TEST_F(OpenAIControllerTest, EmptyFinalTextFallsBackToThePartials)
{
    AppSettings::setSmartMode(SmartMode::verbatim);
    speakAndStop();
    transcriber().callbacks.onPartial(u"При"_s);
    transcriber().callbacks.onPartial(u"вет "_s);
    ASSERT_TRUE(TestUtil::runUntil([&] { return f.overlay.transcriptText == u"Привет "_s; }));
    finish(QString());
    EXPECT_EQ(f.inserter.insertedTexts, QStringList { u"Привет"_s });
    EXPECT_EQ(f.polisher.calls, 0) << "verbatim is never polished";
    EXPECT_FALSE(log().contains(u"overlay.editing"_s));
}

TEST_F(OpenAIControllerTest, PolishingFailureKeepsTheUneditedText)
{
    f.polisher.answer = { std::nullopt, u"сбой"_s };
    speakAndStop();
    finish(u"как сказано"_s);
    EXPECT_EQ(f.inserter.insertedTexts, QStringList { u"как сказано"_s });
    EXPECT_EQ(AppSettings::lastText(), u"как сказано"_s);
    EXPECT_EQ(log().last(), inserted);
}

TEST_F(OpenAIControllerTest, LateCallbacksAfterAResetChangeNothing)
{
    speakAndStop();
    transcriber().callbacks.onError(u"Первая ошибка."_s);
    ASSERT_TRUE(reach(DictationState::idle));
    const QStringList before = log();

    transcriber().callbacks.onError(u"Вторая ошибка."_s);
    transcriber().callbacks.onFinal(u"опоздавший текст"_s);
    transcriber().callbacks.onPartial(u"хвост"_s);
    TestUtil::runFor(50ms);
    EXPECT_EQ(log(), before);
    EXPECT_EQ(before.last(), failure(u"Первая ошибка."_s));
    EXPECT_EQ(transcriber().disconnects, 0) << "an error drops the transcriber without disconnecting";
    EXPECT_EQ(AppSettings::lastText(), std::nullopt);
}

TEST_F(OpenAIControllerTest, WatchdogEndsADictationWhoseFinalTextNeverComes)
{
    EXPECT_EQ(DictationSessionController::Timings().finalTranscriptWatchdog, 30s);
    controller->setTimings({ .finalTranscriptWatchdog = 100ms });
    speakAndStop();
    EXPECT_EQ(controller->state(), DictationState::processing);
    ASSERT_TRUE(reach(DictationState::idle));
    EXPECT_EQ(log().last(), failure(u"Соединение с распознаванием прервано."_s));
}

TEST_F(OpenAIControllerTest, SecondResultWhilePastingIsDropped)
{
    AppSettings::setSmartMode(SmartMode::verbatim);
    Gate paste;
    f.inserter.gate = &paste;
    speakAndStop();
    transcriber().callbacks.onFinal(u"первый"_s);
    ASSERT_TRUE(TestUtil::runUntil([&] { return f.inserter.insertedTexts.size() == 1; }));
    transcriber().callbacks.onFinal(u"второй"_s);
    transcriber().callbacks.onError(u"Соединение закрыто."_s);
    TestUtil::runFor(30ms);
    EXPECT_EQ(controller->state(), DictationState::processing);
    paste.open();
    ASSERT_TRUE(reach(DictationState::idle));
    EXPECT_EQ(f.inserter.insertedTexts, QStringList { u"первый"_s });
    EXPECT_EQ(log().last(), inserted);
    EXPECT_EQ(AppSettings::lastText(), u"первый"_s);
}

TEST_F(OpenAIControllerTest, FinalTextWhileStillRecordingCompletesAndStopsTheRecorder)
{
    AppSettings::setSmartMode(SmartMode::verbatim);
    controller->toggleFnDictation();
    ASSERT_TRUE(reach(DictationState::recording));
    finish(u"досрочно"_s);
    EXPECT_FALSE(f.recorder.isRunning());
    EXPECT_EQ(f.inserter.insertedTexts, QStringList { u"досрочно"_s });
}

// ---- onboarding test dictation -------------------------------------------------

struct TestDictationCase {
    const char *name;
    QString provider;
    QString third; // what the log shows between listening and the result
};
void PrintTo(const TestDictationCase &c, std::ostream *out) { *out << c.name; }
using TestDictationTest = ControllerTable<TestDictationCase>;

TEST_P(TestDictationTest, ShowsProgressInTheWalkthroughAndPastesNothing)
{
    startOnboardingTest();
    useProvider(GetParam().provider);
    AppSettings::setSmartMode(SmartMode::verbatim);
    f.vorsik.answer.text = u"проба"_s;
    f.gigaChat.answer.text = u"проба"_s;

    controller->toggleFnDictation();
    EXPECT_TRUE(controller->isOnboardingTestDictation());
    ASSERT_TRUE(reach(DictationState::recording));
    controller->toggleFnDictation();
    if (GetParam().provider == u"openAI"_s) {
        ASSERT_TRUE(TestUtil::runUntil([&] { return f.lastTranscriber() && f.lastTranscriber()->commits == 1; }));
        f.lastTranscriber()->callbacks.onFinal(u"проба"_s);
    }
    ASSERT_TRUE(reach(DictationState::idle));

    QStringList shown = log();
    shown.removeIf([](const QString &e) { return e.startsWith(u"recorder."_s) || e.startsWith(u"transcriber."_s); });
    EXPECT_EQ(shown,
        (QStringList {
            u"onboarding.connecting"_s, u"onboarding.listening"_s, GetParam().third, u"onboarding.result|проба"_s }));
    EXPECT_EQ(f.inserter.captures, 0);
    EXPECT_EQ(AppSettings::lastText(), u"проба"_s);
    EXPECT_FALSE(controller->isOnboardingTestDictation());
}

INSTANTIATE_TEST_SUITE_P(Providers, TestDictationTest,
    ::testing::Values(TestDictationCase { "ownBackend", u"vorsik"_s, u"onboarding.processing"_s },
        TestDictationCase { "gigaChat", u"gigaChat"_s, u"overlay.editing"_s },
        TestDictationCase { "openAI", u"openAI"_s, u"overlay.processing|Завершаю распознавание…"_s }),
    byName);

// ---- late results --------------------------------------------------------------

TEST_F(ControllerTest, ResultArrivingAfterAFailureIsIgnored)
{
    Gate answer;
    f.vorsik.answer = { u"поздно"_s, std::nullopt, &answer };
    dictate();
    EXPECT_EQ(controller->state(), DictationState::processing);
    controller->handleTranscriptionError(u"Отменено."_s);
    EXPECT_EQ(controller->state(), DictationState::idle);
    answer.open();
    TestUtil::runFor(30ms);
    EXPECT_TRUE(f.inserter.insertedTexts.isEmpty());
    EXPECT_EQ(AppSettings::lastText(), std::nullopt);
    EXPECT_EQ(log().last(), failure(u"Отменено."_s));

    controller->completeDictation(u"совсем поздно"_s);
    TestUtil::runFor(10ms);
    EXPECT_TRUE(f.inserter.insertedTexts.isEmpty());
}

} // namespace
