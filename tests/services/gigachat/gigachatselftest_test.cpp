#include "gigachattestsupport.h"
#include "loopbackhttpserver.h"
#include "wavencoder.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using Answer = LoopbackHttpServer::Response;

// The self-test run as its own process, as a user or a script runs it.
namespace {

const QByteArray key = "c2VsZi10ZXN0LWtleS0xMjM0NTY3ODkw";
const QByteArray tokenAnswer = R"({"access_token":"T0k3n"})";

struct SelfTestRun {
    int exitCode = -1;
    QStringList lines; // standard error
    QByteArray errorBytes;
};

class GigaChatSelfTestProcess : public GigaChatTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.listenTls(TestCertificates::shared().server, TestCertificates::shared().serverKey));
    }

    SelfTestRun run(const QStringList &arguments, const QByteArray &input = {})
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"VERBULO_TEST_GIGACHAT_BASE_URL"_s, server.baseUrl().toString());
        environment.insert(u"VERBULO_TEST_GIGACHAT_ROOT"_s, QString::fromLatin1(TestCertificates::shared().rootBase64));
        environment.insert(u"VERBULO_TEST_GIGACHAT_SUB"_s, QString::fromLatin1(TestCertificates::shared().subBase64));
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(SELF_TEST_DRIVER), arguments);
        if (!process.waitForStarted(30'000))
            return {};
        process.write(input);
        process.closeWriteChannel();
        // The server answers on this thread, so the loop runs while the self-test works.
        EXPECT_TRUE(TestUtil::runUntil(
            [&process] { return process.state() == QProcess::NotRunning; }, std::chrono::seconds(120)));
        SelfTestRun result;
        result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.errorBytes = process.readAllStandardError();
        EXPECT_TRUE(process.readAllStandardOutput().isEmpty()) << "the self-test reports on standard error only";
        EXPECT_TRUE(result.errorBytes.endsWith('\n')) << result.errorBytes.toStdString();
        result.lines = QString::fromUtf8(result.errorBytes).split(u'\n', Qt::SkipEmptyParts);
        return result;
    }

    LoopbackHttpServer server;
};

TEST_F(GigaChatSelfTestProcess, BlankOrUndecodableStandardInputIsAMissingKey)
{
    for (const QByteArray &input : { QByteArray(), QByteArray(" \n\t \n"), QByteArray("\xff\xfe key") }) {
        const SelfTestRun result = run({ u"--self-test-gigachat"_s, u"--self-test-key-stdin"_s }, input);
        EXPECT_EQ(result.lines, QStringList({ u"started"_s, u"VERBULO_SELF_TEST_FAILED: missing_key"_s }));
        EXPECT_EQ(result.exitCode, 1);
    }
    EXPECT_EQ(server.requestCount(), 0);
}

TEST_F(GigaChatSelfTestProcess, AMissingAudioFileFailsWithTheFileSystemsDescriptionAndNoTraffic)
{
    const QString missing = temporaryPath() + u"/absent/speech.wav"_s;
    const SelfTestRun result
        = run({ u"--self-test-gigachat"_s, u"--self-test-audio"_s, missing, u"--self-test-key-stdin"_s }, key + "\n");
    ASSERT_EQ(result.lines.size(), 3) << result.errorBytes.toStdString();
    EXPECT_EQ(result.lines.mid(0, 2), QStringList({ u"started"_s, u"key_loaded"_s }));
    const QString prefix = u"VERBULO_SELF_TEST_FAILED: Не удалось прочитать файл «%1»: "_s.arg(missing);
    EXPECT_TRUE(result.lines[2].startsWith(prefix) && result.lines[2].size() > prefix.size())
        << result.lines[2].toStdString();
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(server.requestCount(), 0);
}

TEST_F(GigaChatSelfTestProcess, ModelListJoinsIdsWithABareCommaAndNeverPrintsTheKey)
{
    server.enqueue(Answer::json(200, tokenAnswer));
    server.enqueue(Answer::json(200, R"({"data":[{"id":"GigaChat"},{"id":"GigaChat-Pro"},{"object":"model"}]})"));
    // The model is ignored and an audio option without a value selects nothing.
    const SelfTestRun result = run({ u"--self-test-model"_s, u"Ignored"_s, u"--self-test-key-stdin"_s,
                                       u"--self-test-gigachat"_s, u"--self-test-audio"_s },
        "  " + key + " \n");
    EXPECT_EQ(result.lines,
        QStringList({ u"started"_s, u"key_loaded"_s, u"VERBULO_SELF_TEST_OK: models=GigaChat,GigaChat-Pro"_s }));
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_FALSE(result.errorBytes.contains(key));
    ASSERT_EQ(server.requestCount(), 2);
    EXPECT_EQ(server.requests()[0].header("Authorization"), "Basic " + key);
    EXPECT_EQ(server.requests()[1].path, "/v1/models");
}

TEST_F(GigaChatSelfTestProcess, AServerThatEchoesTheKeyDoesNotGetItPrinted)
{
    server.enqueue(
        Answer::json(401, R"({"message":"key )" + key + R"( is not valid\nVERBULO_SELF_TEST_OK: models=x"})"));
    const SelfTestRun result = run({ u"--self-test-gigachat"_s, u"--self-test-key-stdin"_s }, key);
    ASSERT_EQ(result.lines.size(), 3) << result.errorBytes.toStdString();
    EXPECT_TRUE(result.lines[2].startsWith(u"VERBULO_SELF_TEST_FAILED: GigaChat: key "_s));
    EXPECT_FALSE(result.errorBytes.contains(key));
    EXPECT_EQ(result.exitCode, 1);
}

TEST_F(GigaChatSelfTestProcess, TranscriptionReportsModelUsageAndCharactersButNotTheText)
{
    const QString wav = temporaryPath() + u"/speech.wav"_s;
    QFile file(wav);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(WAVEncoder::encodePCM16Mono24kHz(QByteArray(4800, '\x11')));
    file.close();
    QByteArray usage;
    // Answered by path: the self-test does not wait for the deletion, which may or may not arrive.
    server.setHandler([&usage](const LoopbackHttpServer::Request &request) {
        if (request.path == "/api/v2/oauth")
            return Answer::json(200, tokenAnswer);
        if (request.path == "/v1/files")
            return Answer::json(200, R"({"id":"file-1"})");
        if (request.path == "/v1/chat/completions")
            return Answer::json(
                200, R"({"choices":[{"message":{"content":" Привет, мир 👍🏽\n"}}])" + usage + "}");
        return Answer::json(200, "{}");
    });
    const std::pair<QByteArray, QString> rows[] = {
        { R"(,"usage":{"prompt_tokens":12,"completion_tokens":5,"total_tokens":17,"precached_prompt_tokens":3})",
            u"prompt=12 completion=5 total=17 precached=3"_s },
        { "", u"unavailable"_s },
    };
    for (const auto &[answeredUsage, usageText] : rows) {
        usage = answeredUsage;
        const int before = server.requestCount();
        const SelfTestRun result
            = run({ u"--self-test-gigachat"_s, u"--self-test-key-stdin"_s, u"--self-test-audio"_s, wav,
                      u"--self-test-model"_s, u"GigaChat-2-Max"_s, u"--self-test-model"_s, u"Other"_s },
                key);
        EXPECT_EQ(result.lines,
            QStringList({ u"started"_s, u"key_loaded"_s,
                u"VERBULO_SELF_TEST_OK: model=GigaChat-2-Max usage="_s + usageText + u" transcript_chars=13"_s }));
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_FALSE(result.errorBytes.contains("Привет"));
        ASSERT_GE(server.requestCount(), before + 3);
        EXPECT_EQ(server.requests()[before + 2].path, "/v1/chat/completions");
        EXPECT_EQ(
            QJsonDocument::fromJson(server.requests()[before + 2].body)[u"model"_s].toString(), u"GigaChat-2-Max"_s);
    }
}

TEST_F(GigaChatSelfTestProcess, AStoredKeyOfSpacesIsLoadedThenRejectedByTheClient)
{
    if (qEnvironmentVariableIsEmpty("VERBULO_HEADLESS_SESSION"))
        GTEST_SKIP() << "needs the headless session's keyring";
    const QStringList attributes { u"service"_s, u"com.plumrest.Vorsik"_s, u"account"_s,
        u"gigachat-authorization-key"_s };
    QProcess store;
    // The in-memory session collection: always unlocked, and gone with the session's keyring.
    store.start(u"secret-tool"_s,
        QStringList { u"store"_s, u"--collection=session"_s, u"--label=GigaChat test key"_s } + attributes);
    store.write("   ");
    store.closeWriteChannel();
    ASSERT_TRUE(store.waitForFinished(30'000) && store.exitCode() == 0) << store.readAllStandardError().toStdString();

    const SelfTestRun result = run({ u"--self-test-gigachat"_s });

    QProcess clear;
    clear.start(u"secret-tool"_s, QStringList { u"clear"_s } + attributes);
    clear.waitForFinished(30'000);
    EXPECT_EQ(result.lines,
        QStringList(
            { u"started"_s, u"key_loaded"_s, u"VERBULO_SELF_TEST_FAILED: Добавьте Authorization Key GigaChat."_s }));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(server.requestCount(), 0);
}

} // namespace
