#include "core/appsettings.h"
#include "core/dictationsessioncontroller.h"
#include "fakeneighbours.h"
#include "services/local/localrecognitionerror.h"
#include "services/local/localrecognitionservice.h"
#include "services/local/localtranscriber.h"
#include "services/local/promptbudget.h"
#include "services/local/recognitionmodel.h"
#include "services/local/recognitionworker.h"
#include "servicetestsupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// Toy models of each family, written at build time: real code paths, meaningless weights.
QString testModel(const char *name) { return QStringLiteral(TOY_MODELS "/%1").arg(QLatin1StringView(name)); }

struct Heard {
    QStringList partials;
    QStringList finals;
    QStringList errors;
    QStringList notices;
    RealtimeTranscriberCallbacks callbacks()
    {
        return { [this](const QString &text) { partials.append(text); },
            [this](const QString &text) { finals.append(text); }, [this](const QString &text) { errors.append(text); },
            [this](const QString &text) { notices.append(text); } };
    }
};

void run(QCoro::Task<void> task) { EXPECT_EQ(outcomeOf(std::move(task)), QString()); }

} // namespace

TEST(LocalEngineTest, LoadingSaysWhatIsWrongWithTheModelFile)
{
    const auto bytesOf = [](const char *name) {
        QFile file(testModel(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    const QByteArray gigaam = bytesOf("gigaam-ctc.gguf");
    const QByteArray whisper = bytesOf("whisper.bin");
    ASSERT_FALSE(gigaam.isEmpty() || whisper.isEmpty());
    QByteArray lyingCount = gigaam;
    const quint64 tensors = 1ULL << 40; // the header's tensor count, after magic and version
    lyingCount.replace(8, 8, QByteArray(reinterpret_cast<const char *>(&tensors), 8));
    QByteArray lyingShape = gigaam;
    // The first tensor's first dimension, far beyond the file: its name "frontend.mel_filterbank" is
    // followed by the number of dimensions (u32) and the dimensions (u64 each).
    const qsizetype shape = gigaam.indexOf("frontend.mel_filterbank") + 23 + 4;
    const quint64 huge = 1ULL << 33;
    lyingShape.replace(shape, 8, QByteArray(reinterpret_cast<const char *>(&huge), 8));
    // A whisper.cpp file that ends after its vocabulary, as whisper.cpp's own test files do.
    const QByteArray noTensors = whisper.left(whisper.indexOf("encoder.positional_embedding") - 12 - 8);
    const std::pair<QByteArray, QString> files[] = {
        { gigaam.left(gigaam.size() / 2), u"повреждён"_s },
        { lyingCount, u"повреждён"_s },
        { lyingShape, u"повреждён"_s },
        { noTensors, u"повреждён"_s },
        { whisper.left(3000), u"повреждён"_s },
        { "not a model at all", u"повреждён"_s },
        { bytesOf("cohere.gguf"), u"не запускает"_s },
    };
    QTemporaryDir folder;
    for (const auto &[bytes, expected] : files) {
        QFile file(folder.filePath(u"model.gguf"_s));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
        file.close();
        try {
            RecognitionModel::load(file.fileName());
            ADD_FAILURE() << "loaded " << bytes.size() << " bytes";
        } catch (const LocalRecognitionError &error) {
            EXPECT_TRUE(error.description().contains(expected)) << error.description().toStdString();
        }
    }
    try {
        RecognitionModel::load(folder.filePath(u"missing.gguf"_s));
        ADD_FAILURE() << "loaded a missing file";
    } catch (const LocalRecognitionError &error) {
        EXPECT_EQ(error.errorCase(), LocalRecognitionErrorCase::modelMissing);
    }
    const struct {
        const char *file;
        QString family;
        std::optional<std::chrono::milliseconds> longestCall;
    } models[] = {
        { "gigaam-ctc.gguf", u"gigaam"_s, 25s },
        { "gigaam-rnnt.gguf", u"gigaam"_s, 25s },
        { "parakeet.gguf", u"parakeet"_s, {} },
        { "whisper.bin", u"whisper"_s, {} },
    };
    for (const auto &model : models) {
        const std::unique_ptr<RecognitionModel> loaded = RecognitionModel::load(testModel(model.file));
        EXPECT_EQ(loaded->family(), model.family);
        EXPECT_EQ(loaded->longestCall(), model.longestCall) << model.file;
    }
}

// The engine checks the flag between its graph's steps, also inside the encoder: a stretch
// being encoded stops within milliseconds, and what it recognised is dropped.
TEST(LocalEngineTest, ACancelledRecognitionStopsAtOnceAndGivesNothing)
{
    const std::unique_ptr<RecognitionModel> model = RecognitionModel::load(testModel("gigaam-ctc-mid.gguf"));
    std::vector<float> audio(16000 * 20);
    for (std::size_t i = 0; i < audio.size(); ++i)
        audio[i] = 0.1f * std::sin(float(i) * 0.07f) * std::sin(float(i) * 0.0003f);
    std::atomic_bool cancel = false;
    RecognitionModel::Options options;
    options.threads = 2;
    QElapsedTimer clock;
    clock.start();
    const std::size_t uncancelled = model->recognise(audio, options, cancel).segments.size();
    const qint64 whole = clock.elapsed();
    std::vector<RecognisedSegment> segments { { u"x"_s, 0ms, 0ms } };
    std::thread worker([&] { segments = model->recognise(audio, options, cancel).segments; });
    std::this_thread::sleep_for(std::chrono::milliseconds(whole / 2));
    QElapsedTimer sinceCancel;
    sinceCancel.start();
    cancel = true;
    worker.join();
    EXPECT_LT(sinceCancel.elapsed(), std::max<qint64>(whole / 4, 100)) << "a whole run takes " << whole << " ms";
    EXPECT_TRUE(segments.empty());
    EXPECT_TRUE(model->recognise(audio, options, cancel).segments.empty());
    EXPECT_LE(uncancelled, 1U);
}

// GigaAM takes at most 25 s a call: longer audio goes in equal pieces, with their own times.
TEST(LocalEngineTest, AudioBeyondWhatAModelTakesInOneCallGoesInPieces)
{
    const std::unique_ptr<RecognitionModel> model = RecognitionModel::load(testModel("gigaam-ctc.gguf"));
    std::vector<float> audio(16000 * 60);
    for (std::size_t i = 0; i < audio.size(); ++i)
        audio[i] = 0.2f * std::sin(float(i) * 0.05f);
    const std::atomic_bool never = false;
    const std::vector<RecognisedSegment> segments = model->recognise(audio, {}, never).segments;
    ASSERT_EQ(segments.size(), 3U) << "the toy model says something for each piece";
    for (std::size_t i = 0; i < segments.size(); ++i) {
        EXPECT_EQ(segments[i].start, std::chrono::milliseconds(20000 * i));
        EXPECT_EQ(segments[i].end, std::chrono::milliseconds(20000 * (i + 1)));
    }
}

TEST(LocalEngineTest, DictationGivesOneFinalAndNothingAfterDisconnect)
{
    auto worker = std::make_shared<RecognitionWorker>();
    for (const char *model : { "gigaam-rnnt.gguf", "gigaam-ctc.gguf", "parakeet.gguf", "whisper.bin" }) {
        Heard heard;
        LocalTranscriber transcriber(heard.callbacks(), worker, { .modelPath = testModel(model), .threads = 2 });
        run(transcriber.connect({}, u"Совещание"_s, { u"Ворсик"_s }));
        const QByteArray pcm = speechLike(3);
        for (qsizetype at = 0; at < pcm.size(); at += 4800)
            run(transcriber.appendAudio(pcm.mid(at, 4800)));
        run(transcriber.commit());
        ASSERT_TRUE(TestUtil::runUntil([&] { return !heard.finals.isEmpty() || !heard.errors.isEmpty(); }, 60s));
        run(transcriber.disconnect());
        EXPECT_EQ(heard.finals.size(), 1) << model;
        EXPECT_EQ(heard.errors, QStringList()) << model;
        // The last partial is the final text.
        EXPECT_TRUE(heard.partials.isEmpty() || heard.partials.last() == heard.finals.value(0)) << model;
        EXPECT_TRUE(worker->isLoaded());
    }

    const LocalTranscriber::Settings settings { .modelPath = testModel("gigaam-ctc-mid.gguf"), .threads = 2 };
    // Disconnected, or destroyed, in the middle of recognising: silence from then on. The first
    // stretch's partial says the worker has begun; the three after it are still to come.
    for (const bool destroy : { false, true }) {
        Heard late;
        auto transcriber = std::make_unique<LocalTranscriber>(late.callbacks(), worker, settings);
        run(transcriber->connect({}, {}, {}));
        run(transcriber->appendAudio(speechLike(4)));
        run(transcriber->commit());
        ASSERT_TRUE(TestUtil::runUntil([&] { return !late.partials.isEmpty(); }, 10s));
        const QStringList partialsBefore = late.partials;
        destroy ? transcriber.reset() : run(transcriber->disconnect());
        QElapsedTimer clock;
        clock.start();
        // The worker is free again soon: the running stretch was aborted.
        const QFuture<void> next = worker->preload(settings.modelPath);
        ASSERT_TRUE(TestUtil::runUntil([&] { return next.isFinished(); }, 10s));
        EXPECT_LT(clock.elapsed(), 1000);
        TestUtil::runFor(300ms);
        EXPECT_TRUE(late.finals.isEmpty() && late.errors.isEmpty());
        EXPECT_EQ(late.partials, partialsBefore);
    }

    // The keep time: the model goes after a dictation.
    worker->setKeepTime(50ms);
    worker->touch();
    EXPECT_TRUE(TestUtil::runUntil([&] { return !worker->isLoaded(); }, 5s));
}

// One token per character stands in for the engine's tokenizer.
TEST(LocalEngineTest, ThePromptKeepsTheVocabularyFirstAndNamesWhatDoesNotFit)
{
    const auto characters = [](const QString &text) {
        std::vector<int> tokens;
        for (const QChar character : text)
            tokens.push_back(character.unicode());
        return tokens;
    };
    const QStringList vocabulary { u"Ворсик"_s, u"Qt"_s, u"GigaChat"_s };
    const struct {
        int budget;
        QString context;
        QString prompt;
        QStringList leftOut;
    } rows[] = {
        { 100, u"Письма коллегам"_s, u"Ворсик, Qt, GigaChat. Письма коллегам и дальше текст"_s, {} },
        { 37, u"Письма коллегам"_s, u"Ворсик, Qt, GigaChat. Письма коллегам"_s, {} },
        // The context from its start, the text so far from its end.
        { 34, u"Письма коллегам"_s, u"Ворсик, Qt, GigaChat. Письма текст"_s, {} },
        { 11, u"Письма коллегам"_s, u"Ворсик, Qt."_s, { u"GigaChat"_s } },
        // Once a word does not fit, the words after it stay out too: the user's order is their priority.
        { 4, {}, u"екст"_s, vocabulary },
    };
    for (const auto &row : rows) {
        const FittedPrompt fitted
            = PromptBudget::fit({ vocabulary, row.context, u"и дальше текст"_s }, row.budget, characters);
        QString prompt;
        for (const int token : fitted.tokens)
            prompt.append(QChar(char16_t(token)));
        EXPECT_EQ(prompt, row.prompt) << row.budget;
        EXPECT_EQ(fitted.vocabularyLeftOut, row.leftOut) << row.budget;
    }
}

// The engine's own tokens: whisper reads 223 of them; a vocabulary longer than that is named.
// GigaAM reads no prompt at all.
TEST(LocalEngineTest, AVocabularyBeyondWhatTheModelReadsIsNamed)
{
    const std::unique_ptr<RecognitionModel> model = RecognitionModel::load(testModel("whisper.bin"));
    RecognitionModel::Options options;
    for (int word = 0; word < 200; ++word)
        options.prompt.vocabulary.append(u"Термин%1"_s.arg(word));
    const std::atomic_bool never = false;
    const QStringList leftOut = model->recognise(std::vector<float>(16000, 0.0f), options, never).vocabularyLeftOut;
    ASSERT_FALSE(leftOut.isEmpty());
    EXPECT_LT(leftOut.size(), 190) << "a few words a token each would fit";
    EXPECT_EQ(leftOut, options.prompt.vocabulary.mid(200 - leftOut.size()));
    const std::unique_ptr<RecognitionModel> gigaam = RecognitionModel::load(testModel("gigaam-ctc.gguf"));
    EXPECT_EQ(gigaam->recognise(std::vector<float>(16000, 0.0f), options, never).vocabularyLeftOut, QStringList());
}

// A stretch the engine fails on costs that stretch: the dictation goes on, and with nothing
// recognised at all the end says why.
TEST(LocalEngineTest, AModelFileRemovedAfterReleaseCostsTheStretchesNotTheDictation)
{
    QTemporaryDir folder;
    const QString path = folder.filePath(u"model.gguf"_s);
    ASSERT_TRUE(QFile::copy(testModel("gigaam-ctc.gguf"), path));
    auto worker = std::make_shared<RecognitionWorker>();
    Heard heard;
    LocalTranscriber transcriber(heard.callbacks(), worker, { .modelPath = path, .threads = 2 });
    run(transcriber.connect({}, {}, {}));
    ASSERT_TRUE(TestUtil::runUntil([&] { return worker->isLoaded(); }, 30s));
    worker->setKeepTime(0ms);
    worker->touch();
    ASSERT_TRUE(TestUtil::runUntil([&] { return !worker->isLoaded(); }, 5s));
    ASSERT_TRUE(QFile::remove(path));

    run(transcriber.appendAudio(speechLike(3)));
    TestUtil::runFor(1s);
    EXPECT_TRUE(heard.errors.isEmpty()) << "the failed stretches end nothing while the user speaks";
    run(transcriber.appendAudio(speechLike(1)));
    run(transcriber.commit());
    ASSERT_TRUE(TestUtil::runUntil([&] { return !heard.errors.isEmpty() || !heard.finals.isEmpty(); }, 30s));
    EXPECT_TRUE(heard.finals.isEmpty());
    EXPECT_TRUE(heard.errors.value(0).contains(u"не найден"_s)) << heard.errors.value(0).toStdString();
}

TEST(LocalEngineTest, AModelThatCannotBeUsedEndsTheDictationWithItsReason)
{
    LocalRecognitionService noModel([] { return ModelChoice { {}, u"Установите модель распознавания."_s }; });
    EXPECT_EQ(noModel.unavailableReason(), u"Установите модель распознавания."_s);
    Heard heard;
    auto unavailable = noModel.makeTranscriber(heard.callbacks(), SmartMode::clean);
    EXPECT_EQ(outcomeOf(unavailable->connect({}, {}, {})), u"error:Установите модель распознавания."_s);

    LocalRecognitionService missing([] { return ModelChoice { u"/nonexistent/model.gguf"_s, {} }; });
    EXPECT_EQ(missing.unavailableReason(), std::nullopt);
    auto transcriber = missing.makeTranscriber(heard.callbacks(), SmartMode::clean);
    run(transcriber->connect({}, {}, {}));
    ASSERT_TRUE(TestUtil::runUntil([&] { return !heard.errors.isEmpty(); }));
    EXPECT_TRUE(heard.errors.value(0).contains(u"не найден"_s));
    run(transcriber->appendAudio(speechLike(1)));
    run(transcriber->commit());
    TestUtil::runFor(200ms);
    EXPECT_EQ(heard.errors.size(), 1);
    EXPECT_TRUE(heard.finals.isEmpty());
}

// The controller with the real engine: a model that hears nothing, so the dictation ends as one
// without speech; twice, the second time on the model kept loaded.
TEST(LocalEngineTest, DictationsThroughTheControllerRunTheEngineToTheEnd)
{
    TestUtil::clearSettings();
    AppSettings::setBool(AppSettings::Keys::onboardingCompleted, true);
    FakeNeighbourhood f;
    f.backend.configured = false;
    LocalRecognitionService service([] { return ModelChoice { testModel("gigaam-rnnt-silent.gguf"), {} }; });
    f.local.real = &service;
    DictationSessionController controller(f.neighbours());
    for (int dictation = 0; dictation < 2; ++dictation) {
        f.log->clear();
        controller.toggleFnDictation();
        ASSERT_TRUE(TestUtil::runUntil([&] { return controller.state() == DictationState::recording; }));
        f.recorder.feed(speechLike(1));
        controller.toggleFnDictation();
        ASSERT_TRUE(TestUtil::runUntil([&] { return controller.state() == DictationState::idle; }, 60s));
        EXPECT_EQ(f.log->last(), u"overlay.message|Не понял…|Речь не распознана|failure|4500"_s) << dictation;
        EXPECT_TRUE(std::ranges::all_of(f.local.realOnes, [](const auto &t) { return t.expired(); }));
        EXPECT_TRUE(service.worker().isLoaded());
    }
}
