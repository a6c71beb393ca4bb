#include "core/appsettings.h"
#include "core/dictationsessioncontroller.h"
#include "fakeneighbours.h"
#include "testutil.h"

#include <QFile>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
namespace Keys = AppSettings::Keys;
using Fakes = FakeNeighbourhood;
using Walkthrough = DictationSessionController::Walkthrough;

namespace {

const QString inserted = u"overlay.message|✓  Текст вставлен||success|3500"_s;
QString failure(const QString &detail) { return u"overlay.message|Не понял…|%1|failure|4500"_s.arg(detail); }
QString saved(const QString &why)
{
    return u"overlay.result|Текст сохранён|%1 Нажмите «Скопировать».|текст"_s.arg(why);
}

class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestUtil::clearSettings();
        AppSettings::setBool(Keys::onboardingCompleted, true);
        f.inserter.target.emplace().applicationPID = 4242;
        f.keychain.items
            = { { u"openai-api-key"_s, u"sk-test"_s }, { u"gigachat-authorization-key"_s, u"giga-key"_s } };
        f.vorsik.answer.value = f.gigaChat.answer.value = u"  текст \n"_s;
        f.polisher.answer.value = u"Отредактировано."_s;
        controller = std::make_unique<DictationSessionController>(f.neighbours());
        controller->setTimings({ 10ms });
        QObject::connect(controller.get(), &DictationSessionController::lastTextChanged, [this] { ++remembered; });
    }

    // As the shell does it: a press is the walkthrough's test while the walkthrough awaits one.
    void press()
    {
        controller->toggleFnDictation(
            f.onboarding.atTestDictation ? Walkthrough::atTestDictation : Walkthrough::elsewhere);
    }
    DictationState state() const { return controller->state(); }
    bool reach(DictationState s)
    {
        return TestUtil::runUntil([&] { return state() == s; });
    }
    // Fn, two chunks, Fn; an OpenAI dictation then gets `final` once it committed.
    void dictate(const QString &final = u"текст"_s)
    {
        press();
        ASSERT_TRUE(TestUtil::runUntil([&] { return state() != DictationState::connecting && !readingKey(); }));
        if (state() == DictationState::recording) {
            f.recorder.feed("\x01\x02");
            f.recorder.feed("\x03\x04");
            press();
        }
        if (FakeRealtimeTranscriber *t = f.lastTranscriber(); t && state() != DictationState::idle) {
            ASSERT_TRUE(
                TestUtil::runUntil([&] { return t->committing.calls == 1 || state() == DictationState::idle; }));
            if (state() != DictationState::idle)
                t->callbacks.onFinal(final);
        }
        ASSERT_TRUE(reach(DictationState::idle));
        TestUtil::runFor(20ms);
        QCoreApplication::sendPostedEvents(); // the audio forwarder's queued wake-up ends it
    }
    QStringList log() const { return *f.log; }
    bool readingKey() const { return controller->phase() == DictationPhase::readingKey; }
    bool stopWished() const { return controller->phase() == DictationPhase::connectingToStop; }

    Fakes f;
    std::unique_ptr<DictationSessionController> controller;
    int remembered = 0;
};

struct DictationCase {
    const char *name;
    const char *provider;
    bool test; // the walkthrough's test dictation
    std::function<void(Fakes &)> arrange;
    QString shown; // the end of the log, entries split by " / "; the whole log when it starts with "^"
    QString remembered; // the last text afterwards, pasted unless in the walkthrough's test
};
void PrintTo(const DictationCase &c, std::ostream *out) { *out << c.name; }
class DictationTest : public ControllerTest, public ::testing::WithParamInterface<DictationCase> { };

void provider(const QString &raw) { AppSettings::setString(Keys::aiProvider, raw); }
const auto recorderFails = [](Fakes &n) { n.recorder.starts.error = u"Микрофон не найден. ECHO-CANARY"_s; };
const auto providerFails = [](Fakes &n) { n.vorsik.answer.error = u"Сервер недоступен. ECHO-CANARY"_s; };
const auto nothingHeard = [](Fakes &n) { n.vorsik.answer.value = u" \n "_s; };
const auto outcome = [](TextInsertionOutcome o) { return [o](Fakes &n) { n.inserter.inserting.value = o; }; };
const auto noKeys = [](Fakes &n) { n.keychain.items.clear(), n.backend.configured = false; };
const auto editorChosen = [](Fakes &n) {
    n.backend.configured = false;
    AppSettings::setBool(Keys::localEditWithOpenAI, true);
};
const QString started = u"^inserter.capture / overlay.connecting / "_s;
const QString testStarted = u"^onboarding.connecting / recorder.start / onboarding.listening / recorder.stop / "_s;

TEST_P(DictationTest, EndsIdleWithNothingHeldAndShowsTheOutcome)
{
    const DictationCase &c = GetParam();
    AppSettings::setString(Keys::lastText, u"старый"_s);
    provider(QString::fromLatin1(c.provider));
    if (c.test) {
        AppSettings::setBool(Keys::onboardingCompleted, false);
        AppSettings::setSmartMode(SmartMode::verbatim);
        f.onboarding.atTestDictation = true;
    }
    if (c.arrange)
        c.arrange(f);
    dictate();

    QStringList expected = c.shown.split(u" / "_s);
    const bool whole = expected.first().startsWith(u'^');
    expected.first().remove(0, whole ? 1 : 0);
    EXPECT_EQ(whole ? log() : log().mid(log().size() - expected.size()), expected) << log().join(u'\n').toStdString();
    const QString last = c.remembered.isEmpty() ? u"старый"_s : c.remembered;
    EXPECT_EQ(AppSettings::lastText(), last);
    EXPECT_EQ(remembered, c.remembered.isEmpty() ? 0 : 1);
    EXPECT_EQ(f.inserter.insertedTexts, c.remembered.isEmpty() || c.test ? QStringList() : QStringList { last });
    for (const auto &target : f.inserter.insertTargets)
        EXPECT_EQ(target.value_or(TextInsertionTarget()).applicationPID, 4242);
    EXPECT_FALSE(
        controller->phase() != DictationPhase::idle || f.recorder.isRunning() || f.transcribersHeld() || *f.collectors);
}

INSTANTIATE_TEST_SUITE_P(Cases, DictationTest,
    ::testing::Values(
        DictationCase { "ownBackend", "vorsik", false, {},
            started
                + u"recorder.start / overlay.listening / recorder.stop / overlay.editing / inserter.insert|текст / "_s
                + inserted,
            u"текст"_s },
        DictationCase { "slowTargetCapture", "", false, [](Fakes &n) { n.inserter.capturing.delay = 300ms; },
            u"inserter.insert|текст / "_s + inserted, u"текст"_s },
        DictationCase { "noPermission", "", false, outcome(TextInsertionOutcome::needsAccessibilityPermission()),
            saved(u"Нет разрешения на автоматическую вставку."_s), u"текст"_s },
        DictationCase { "unconfirmed", "", false, outcome(TextInsertionOutcome::unconfirmed()),
            saved(u"Ворсик не смог подтвердить, что поле приняло текст."_s), u"текст"_s },
        DictationCase { "targetChanged", "", false, outcome(TextInsertionOutcome::targetChanged(u"Другое окно."_s)),
            saved(u"Другое окно."_s), u"текст"_s },
        DictationCase { "setupUnfinished", "", false,
            [](Fakes &) { AppSettings::setBool(Keys::onboardingCompleted, false); }, u"^onboarding.show"_s, {} },
        DictationCase { "noBackendNoModel", "", false,
            [](Fakes &n) { noKeys(n), n.local.unavailable = u"Установите модель."_s; },
            u"^"_s + failure(u"Установите модель."_s) + u" / settings.models"_s, {} },
        DictationCase { "onThisComputer", "vorsik", false, noKeys,
            started
                + u"local.recogniser|clean / transcriber.connect / recorder.start / overlay.listening / recorder.stop "
                  u"/ "
                  u"overlay.processing|Завершаю распознавание… / transcriber.commit / inserter.insert|текст (чисто) / "
                  u"transcriber.disconnect / "_s
                + inserted,
            u"текст (чисто)"_s },
        DictationCase { "onThisComputerTheTextStaysWithoutTheUsersChoice", "", false,
            [](Fakes &n) { n.backend.configured = false; },
            u"transcriber.commit / inserter.insert|текст (чисто) / transcriber.disconnect / "_s + inserted,
            u"текст (чисто)"_s },
        DictationCase { "onThisComputerPolishedByChoice", "", false, editorChosen,
            u"transcriber.commit / overlay.editing / inserter.insert|Отредактировано. / transcriber.disconnect / "_s
                + inserted,
            u"Отредактировано."_s },
        DictationCase { "onThisComputerPolishingFails", "", false,
            [](Fakes &n) { editorChosen(n), n.polisher.answer.error = u"сбой ECHO-CANARY"_s; },
            u"overlay.editing / inserter.insert|текст (чисто) / transcriber.disconnect / "_s + inserted,
            u"текст (чисто)"_s },
        DictationCase { "testOnThisComputer", "", true, noKeys,
            u"^onboarding.connecting / local.recogniser|verbatim / transcriber.connect / recorder.start / "
            u"onboarding.listening / recorder.stop / onboarding.processing / transcriber.commit / "
            u"transcriber.disconnect / onboarding.result|текст"_s,
            u"текст"_s },
        DictationCase { "openAIWithEmptyKey", "openAI", false,
            [](Fakes &n) { n.keychain.items[u"openai-api-key"_s] = QString(); },
            u"^"_s + failure(u"Добавьте OpenAI API key"_s) + u" / settings.show"_s, {} },
        DictationCase { "gigaChatWithoutKey", "gigaChat", false, noKeys,
            u"^"_s + failure(u"Добавьте Authorization Key GigaChat"_s) + u" / settings.show"_s, {} },
        DictationCase { "keyringFails", "openAI", false, [](Fakes &n) { n.keychain.reads.error = u"сбой"_s; },
            u"^"_s + failure(u"сбой"_s), {} },
        DictationCase { "recorderFails", "", false, recorderFails, failure(u"Микрофон не найден. ECHO-CANARY"_s), {} },
        DictationCase { "providerFails", "", false, providerFails, failure(u"Сервер недоступен. ECHO-CANARY"_s), {} },
        DictationCase { "nothingRecognised", "", false, nothingHeard, failure(u"Речь не распознана"_s), {} },
        DictationCase { "openAIUnreachable", "openAI", false,
            [](Fakes &n) { n.nextTranscriber.connecting.error = u"Нет связи. ECHO-CANARY"_s; },
            u"transcriber.disconnect / "_s + failure(u"Нет связи. ECHO-CANARY"_s), {} },
        DictationCase { "inserterThrows", "", false,
            [](Fakes &n) { n.inserter.inserting.error = u"сбой ECHO-CANARY"_s; }, failure(u"сбой ECHO-CANARY"_s),
            u"текст"_s },
        DictationCase { "openAIPolished", "openAI", false, {},
            u"transcriber.commit / overlay.editing / inserter.insert|Отредактировано. / transcriber.disconnect / "_s
                + inserted,
            u"Отредактировано."_s },
        DictationCase { "openAIPolishingFails", "openAI", false,
            [](Fakes &n) { n.polisher.answer.error = u"сбой ECHO-CANARY"_s; },
            u"overlay.editing / inserter.insert|текст / transcriber.disconnect / "_s + inserted, u"текст"_s },
        DictationCase {
            "testProviderFails", "", true, providerFails, u"onboarding.error|Сервер недоступен. ECHO-CANARY"_s, {} },
        DictationCase { "testNothingHeard", "", true, nothingHeard, u"onboarding.error|речь не распознана"_s, {} },
        DictationCase { "testOwnBackend", "", true, {},
            testStarted + u"onboarding.processing / onboarding.result|текст"_s, u"текст"_s },
        DictationCase { "testGigaChat", "gigaChat", true, {},
            testStarted + u"overlay.editing / onboarding.result|текст"_s, u"текст"_s },
        DictationCase { "testOpenAI", "openAI", true, {},
            u"overlay.processing|Завершаю распознавание… / transcriber.commit / transcriber.disconnect / "
            u"onboarding.result|текст"_s,
            u"текст"_s }),
    [](const auto &info) { return std::string(info.param.name); });

// Each key is read from the keyring once a dictation, at the press, and used to the end.
TEST_F(ControllerTest, RequestsCarryTheSettingsAndTheKeyReadAtThePress)
{
    AppSettings::setSmartMode(SmartMode::structured);
    AppSettings::setString(Keys::customVocabulary, u"Ворсик, Qt"_s);
    AppSettings::setString(Keys::transcriptionPrompt, u"контекст"_s);
    dictate();
    EXPECT_EQ(f.vorsik.pcm, QByteArray("\x01\x02\x03\x04"));
    EXPECT_EQ(f.vorsik.sent, (QStringList { u"structured"_s, u"контекст"_s, u"Ворсик|Qt"_s }));

    provider(u"gigaChat"_s);
    press();
    ASSERT_TRUE(reach(DictationState::recording));
    f.keychain.items[u"gigachat-authorization-key"_s] = u"new-key"_s;
    f.recorder.feed("\x05");
    press();
    ASSERT_TRUE(reach(DictationState::idle));
    EXPECT_EQ(f.gigaChat.pcm, QByteArray("\x05"));
    EXPECT_EQ(f.gigaChat.sent, (QStringList { u"giga-key"_s, u"structured"_s, u"контекст"_s, u"Ворсик|Qt"_s }));
    EXPECT_EQ(f.keychain.reads.calls, 1);

    provider(u"openAI"_s);
    AppSettings::setString(Keys::textQuality, u"maximum"_s);
    dictate(u"сырой"_s);
    EXPECT_EQ(f.keychain.reads.calls, 2) << "the transcriber and the editor share one read";
    EXPECT_EQ(f.lastTranscriber()->connectedWith, (QStringList { u"sk-test"_s, u"контекст"_s, u"2"_s }));
    EXPECT_EQ(f.lastTranscriber()->audio, QByteArray("\x01\x02\x03\x04")) << "every chunk is handed over before commit";
    EXPECT_EQ(f.polisher.sent,
        (QStringList { u"сырой"_s, u"structured"_s, u"maximum"_s, u"контекст"_s, u"Ворсик|Qt"_s, u"sk-test"_s }));
}

TEST_F(ControllerTest, WhileTheKeyringAnswersLateThePressWaitsIdleAndASecondPressOrTheEndGivesUp)
{
    provider(u"openAI"_s);
    for (const bool programEnds : { false, true }) {
        Gate unlocked;
        f.keychain.reads.gate = &unlocked;
        press();
        TestUtil::runFor(30ms);
        EXPECT_TRUE(readingKey());
        EXPECT_EQ(state(), DictationState::idle);
        if (programEnds) {
            controller->prepareForTermination();
            controller.reset();
        } else {
            press();
            EXPECT_FALSE(readingKey());
        }
        unlocked.open();
        TestUtil::runFor(30ms);
        EXPECT_TRUE(log().isEmpty());
    }
}

TEST_F(ControllerTest, TogglesWhileBusyOnlyStopARecordingAndFnTwiceWhileConnectingStopsOnceItRecords)
{
    Gate started, answer;
    f.recorder.starts.gate = &started;
    f.vorsik.answer.gate = &answer;
    press();
    controller->toggleDictation(); // the menu does nothing while connecting
    EXPECT_FALSE(stopWished());
    press();
    EXPECT_TRUE(stopWished());
    started.open();
    ASSERT_TRUE(reach(DictationState::processing));
    EXPECT_FALSE(log().contains(u"overlay.listening"_s));
    controller->toggleDictation();
    press();
    EXPECT_EQ(state(), DictationState::processing);
    answer.open();
    ASSERT_TRUE(reach(DictationState::idle));
    EXPECT_EQ(f.vorsik.answer.calls, 1);
    EXPECT_EQ(log().last(), inserted);

    // A wish to stop dies with the start it was made for, whichever way that start fails:
    // the next dictation, started from the menu, records until it is stopped.
    f.recorder.starts.gate = nullptr;
    for (const auto &fail : std::vector<std::function<void(Gate &)>> {
             [&](Gate &again) { f.recorder.starts.gate = &again, f.recorder.starts.error = u"Микрофон не найден."_s; },
             [&](Gate &again) {
                 f.nextTranscriber.connecting.gate = &again, f.nextTranscriber.connecting.error = u"Нет связи."_s;
                 provider(u"openAI"_s);
             } }) {
        Gate again;
        fail(again);
        press();
        ASSERT_TRUE(TestUtil::runUntil([&] { return state() == DictationState::connecting; }));
        press();
        EXPECT_TRUE(stopWished());
        again.open();
        ASSERT_TRUE(reach(DictationState::idle));
        EXPECT_FALSE(stopWished());
        f.recorder.starts = {}, f.nextTranscriber.connecting = {};
        provider(u"vorsik"_s);
        controller->toggleDictation();
        ASSERT_TRUE(reach(DictationState::recording));
        TestUtil::runFor(20ms);
        EXPECT_EQ(state(), DictationState::recording);
        controller->toggleDictation();
        ASSERT_TRUE(reach(DictationState::idle));
    }
}

TEST_F(ControllerTest, ResultsAfterAFailureChangeNothingAndAThrowingPasteDoesNotBlockTheNext)
{
    Gate answer;
    f.vorsik.answer.gate = &answer;
    press();
    ASSERT_TRUE(reach(DictationState::recording));
    press();
    controller->handleTranscriptionError(u"Отменено."_s);
    EXPECT_EQ(state(), DictationState::idle);
    answer.open();
    controller->completeDictation(u"совсем поздно"_s);
    TestUtil::runFor(30ms);
    EXPECT_TRUE(f.inserter.insertedTexts.isEmpty());
    EXPECT_EQ(AppSettings::lastText(), std::nullopt);
    EXPECT_EQ(log().last(), failure(u"Отменено."_s));

    f.vorsik.answer.gate = nullptr;
    f.inserter.inserting.error = u"сбой"_s;
    dictate();
    f.inserter.inserting.error.reset();
    dictate();
    EXPECT_EQ(log().last(), inserted);
}

class OpenAIControllerTest : public ControllerTest {
protected:
    void SetUp() override
    {
        ControllerTest::SetUp();
        provider(u"openAI"_s);
        AppSettings::setSmartMode(SmartMode::verbatim);
    }
    FakeRealtimeTranscriber &transcriber() { return *f.lastTranscriber(); }
    void speakAndStop()
    {
        press();
        ASSERT_TRUE(reach(DictationState::recording));
        press();
        ASSERT_TRUE(TestUtil::runUntil([&] { return transcriber().committing.calls == 1; }));
    }
};

TEST_F(OpenAIControllerTest, EmptyFinalTextFallsBackToThePartialsAndLateCallbacksAreDropped)
{
    speakAndStop();
    transcriber().callbacks.onPartial(u"При"_s);
    transcriber().callbacks.onPartial(u"Привет "_s);
    ASSERT_TRUE(TestUtil::runUntil([&] { return log().contains(u"overlay.transcript|Привет "_s); }));
    transcriber().callbacks.onFinal(QString());
    ASSERT_TRUE(reach(DictationState::idle));
    EXPECT_EQ(f.inserter.insertedTexts, QStringList { u"Привет"_s });
    EXPECT_EQ(f.polisher.answer.calls, 0) << "verbatim is never polished";

    const QStringList before = log();
    transcriber().callbacks.onError(u"Поздняя ошибка."_s);
    transcriber().callbacks.onFinal(u"опоздавший текст"_s);
    transcriber().callbacks.onPartial(u"хвост"_s);
    TestUtil::runFor(50ms);
    EXPECT_EQ(log(), before);

    controller.reset(); // and after the controller is gone (the capture thread may still call)
    transcriber().callbacks.onFinal(u"после конца"_s);
    TestUtil::runFor(20ms);
    EXPECT_EQ(log(), before);
}

TEST_F(OpenAIControllerTest, PartOfTheSpeechLostIsToldWithTheOutcomeAndForgottenByTheNextDictation)
{
    const QString note = u"Часть речи не распознана (3–5 с): сбой."_s;
    const QString expected[] = { u"overlay.message|✓  Текст вставлен|%1|success|3500"_s.arg(note),
        u"overlay.result|Текст сохранён|%1 Другое окно. Нажмите «Скопировать».|текст"_s.arg(note), inserted };
    for (int run = 0; run < 3; ++run) {
        if (run == 1)
            f.inserter.inserting.value = TextInsertionOutcome::targetChanged(u"Другое окно."_s);
        if (run == 2)
            f.inserter.inserting.value = TextInsertionOutcome::inserted();
        speakAndStop();
        if (run < 2)
            transcriber().callbacks.onNotice(note);
        transcriber().callbacks.onFinal(u"текст"_s);
        ASSERT_TRUE(reach(DictationState::idle));
        EXPECT_EQ(log().last(), expected[run]);
    }
}

TEST_F(OpenAIControllerTest, AnErrorDropsTheTranscriberWithoutDisconnectingAndTheWatchdogEndsASilentOne)
{
    speakAndStop();
    transcriber().callbacks.onError(u"Первая ошибка."_s);
    ASSERT_TRUE(reach(DictationState::idle));
    EXPECT_EQ(log().last(), failure(u"Первая ошибка."_s));
    EXPECT_FALSE(log().contains(u"transcriber.disconnect"_s));

    controller->setTimings({ 10ms, 100ms });
    speakAndStop();
    EXPECT_EQ(state(), DictationState::processing);
    ASSERT_TRUE(reach(DictationState::idle));
    EXPECT_EQ(log().last(), failure(u"Соединение с распознаванием прервано."_s));
}

// Five minutes of audio wait for a main thread that stands still; beyond that the user is told what went.
TEST_F(OpenAIControllerTest, AStalledMainThreadLosesNoAudioForFiveMinutesAndBeyondThatSaysWhatWasLost)
{
    const qsizetype second = AbstractAudioRecorder::bytesPerSecond;
    const QString lost = u"Часть записи потеряна: 0:05–0:15."_s;
    for (const int seconds : { 305, 315 }) {
        press();
        ASSERT_TRUE(reach(DictationState::recording));
        QByteArray recorded;
        for (int at = 0; at < seconds; ++at) {
            recorded += QByteArray(second, char(at));
            f.recorder.feed(recorded.right(second));
            if (at == 4) { // taken; then the main thread stands still
                ASSERT_TRUE(TestUtil::runUntil([&] { return transcriber().audio.size() == 5 * second; }));
            }
        }
        press();
        ASSERT_TRUE(TestUtil::runUntil([&] { return transcriber().committing.calls == 1; }));
        transcriber().callbacks.onFinal(u"текст"_s);
        ASSERT_TRUE(reach(DictationState::idle));
        const bool kept = seconds == 305;
        EXPECT_TRUE(transcriber().audio == recorded.left(5 * second) + recorded.right(300 * second));
        EXPECT_EQ(log().contains(u"overlay.transcript|"_s + lost), !kept);
        EXPECT_EQ(log().last(), kept ? inserted : u"overlay.message|✓  Текст вставлен|%1|success|3500"_s.arg(lost));
    }
}

TEST_F(OpenAIControllerTest, AFinalTextWhileRecordingStopsTheRecorderAndASecondOneWhilePastingIsDropped)
{
    press();
    ASSERT_TRUE(reach(DictationState::recording));
    transcriber().callbacks.onFinal(u"досрочно"_s);
    ASSERT_TRUE(reach(DictationState::idle));
    QCoreApplication::sendPostedEvents();
    EXPECT_FALSE(f.recorder.isRunning());
    EXPECT_EQ(f.inserter.insertedTexts, QStringList { u"досрочно"_s });

    f.inserter.insertedTexts.clear();
    Gate paste;
    f.inserter.inserting.gate = &paste;
    speakAndStop();
    transcriber().callbacks.onFinal(u"первый"_s);
    ASSERT_TRUE(TestUtil::runUntil([&] { return f.inserter.insertedTexts.size() == 1; }));
    transcriber().callbacks.onFinal(u"второй"_s);
    transcriber().callbacks.onError(u"Соединение закрыто."_s);
    TestUtil::runFor(30ms);
    EXPECT_EQ(state(), DictationState::processing);
    paste.open();
    ASSERT_TRUE(reach(DictationState::idle));
    EXPECT_EQ(f.inserter.insertedTexts, QStringList { u"первый"_s });
    EXPECT_EQ(log().last(), inserted);
}

// The architecture page shows the controller's table of transitions; the two never drift apart.
TEST(DictationPhasesTest, TheArchitecturePageShowsTheTableTheControllerMovesAlong)
{
    QFile page(QStringLiteral(VERBULO_ARCHITECTURE_DOC));
    ASSERT_TRUE(page.open(QIODevice::ReadOnly | QIODevice::Text));
    QStringList shown;
    bool inTable = false;
    for (const QString &line : QString::fromUtf8(page.readAll()).split(u'\n')) {
        if (line == u"| From | Event | To |"_s || (inTable && line.startsWith(u"|---"_s))) {
            inTable = true;
            continue;
        }
        if (inTable && !line.startsWith(u'|'))
            break;
        if (inTable)
            shown.append(line.split(u'|', Qt::SkipEmptyParts).replaceInStrings(u" "_s, QString()).join(u' '));
    }
    QStringList code;
    for (const DictationTransition &t : dictationTransitions)
        code.append(QString::fromLatin1(name(t.from)) + u' ' + QString::fromLatin1(name(t.event)) + u' '
            + QString::fromLatin1(name(t.to)));
    EXPECT_EQ(shown, code);
}

} // namespace
