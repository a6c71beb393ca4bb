#include "gigachattestsupport.h"
#include "wavencoder.h"

#include <QProcess>

using namespace Qt::StringLiterals;
using Answer = LoopbackHttpServer::Response;

namespace {

const QByteArray key = "c2VsZi10ZXN0LWtleS0xMjM0NTY3ODkw";
const Answer token = Answer::json(200, R"({"access_token":"T0k3n"})");
const QByteArray transcript = R"({"choices":[{"message":{"content":" Привет, мир 👍🏽\n"}}])";

QStringList run(const QStringList &arguments, const QByteArray &input, const LoopbackHttpServer &server, int *exitCode)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"VERBULO_TEST_GIGACHAT_BASE_URL"_s, server.baseUrl().toString());
    environment.insert(u"VERBULO_TEST_GIGACHAT_ROOT"_s, QString::fromLatin1(TestCertificates::shared().rootBase64));
    environment.insert(u"VERBULO_TEST_GIGACHAT_SUB"_s, QString::fromLatin1(TestCertificates::shared().subBase64));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(SELF_TEST_DRIVER), arguments);
    process.write(input);
    process.closeWriteChannel();
    // The server answers on this thread, so the loop runs while the self-test works.
    EXPECT_TRUE(
        TestUtil::runUntil([&process] { return process.state() == QProcess::NotRunning; }, std::chrono::seconds(120)));
    *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    EXPECT_TRUE(process.readAllStandardOutput().isEmpty()) << "the self-test reports on standard error only";
    const QByteArray errors = process.readAllStandardError();
    EXPECT_TRUE(errors.endsWith('\n') && !errors.contains(key) && !errors.contains("Привет")) << errors.toStdString();
    return QString::fromUtf8(errors).split(u'\n', Qt::SkipEmptyParts);
}

class GigaChatSelfTestProcess : public GigaChatTest { };

// The self-test run as its own process, as a user or a script runs it: its lines on standard
// error and its exit code, never the key or the transcript.
TEST_F(GigaChatSelfTestProcess, ReportsOneLinePerStepAndAnExitCode)
{
    const QString wav = temporaryPath() + u"/speech.wav"_s;
    QFile file(wav);
    ASSERT_TRUE(
        file.open(QIODevice::WriteOnly) && file.write(WAVEncoder::encodePCM16Mono24kHz(QByteArray(4800, '\x11'))));
    file.close();
    const QString missing = temporaryPath() + u"/absent/speech.wav"_s;
    const QStringList withKey { u"--self-test-gigachat"_s, u"--self-test-key-stdin"_s };
    const QStringList transcribe = withKey
        + QStringList { u"--self-test-audio"_s, wav, u"--self-test-model"_s, u"GigaChat-2-Max"_s,
              u"--self-test-model"_s, u"Other"_s };
    const QString loaded = u"started\nkey_loaded\nVERBULO_SELF_TEST_"_s;
    const struct {
        QStringList arguments;
        QByteArray input;
        QList<QPair<QByteArray, Answer>> answers; // by path: the self-test does not wait for the deletion
        QString expected; // the lines; when it ends with "…" the last one only begins so
        int exitCode;
        bool keyring = false;
    } rows[] = {
        { withKey, {}, {}, u"started\nVERBULO_SELF_TEST_FAILED: missing_key"_s, 1 },
        { withKey, " \n\t \n", {}, u"started\nVERBULO_SELF_TEST_FAILED: missing_key"_s, 1 },
        { withKey, "\xff\xfe key", {}, u"started\nVERBULO_SELF_TEST_FAILED: missing_key"_s, 1 },
        { withKey + QStringList { u"--self-test-audio"_s, missing }, key + "\n", {},
            loaded + u"FAILED: Не удалось прочитать файл «%1»: …"_s.arg(missing), 1 },
        // The model is ignored and an audio option without a value selects nothing.
        { { u"--self-test-model"_s, u"Ignored"_s, u"--self-test-key-stdin"_s, u"--self-test-gigachat"_s,
              u"--self-test-audio"_s },
            "  " + key + " \n",
            { { "/api/v2/oauth", token },
                { "/v1/models",
                    Answer::json(200, R"({"data":[{"id":"GigaChat"},{"id":"GigaChat-Pro"},{"object":"m"}]})") } },
            loaded + u"OK: models=GigaChat,GigaChat-Pro"_s, 0 },
        { withKey, key,
            { { "/api/v2/oauth",
                Answer::json(401, R"({"message":"key )" + key + R"( is bad\nVERBULO_SELF_TEST_OK: x"})") } },
            loaded + u"FAILED: GigaChat: key …"_s, 1 },
        { transcribe, key,
            { { "/api/v2/oauth", token }, { "/v1/files", Answer::json(200, R"({"id":"file-1"})") },
                { "/v1/chat/completions",
                    Answer::json(200,
                        transcript
                            + R"(,"usage":{"prompt_tokens":12,"completion_tokens":5,"total_tokens":17,"precached_prompt_tokens":3}})") } },
            loaded
                + u"OK: model=GigaChat-2-Max usage=prompt=12 completion=5 total=17 precached=3 transcript_chars=13"_s,
            0 },
        { transcribe, key,
            { { "/api/v2/oauth", token }, { "/v1/files", Answer::json(200, R"({"id":"file-1"})") },
                { "/v1/chat/completions", Answer::json(200, transcript + "}") } },
            loaded + u"OK: model=GigaChat-2-Max usage=unavailable transcript_chars=13"_s, 0 },
        { { u"--self-test-gigachat"_s }, {}, {}, loaded + u"FAILED: Добавьте Authorization Key GigaChat."_s, 1, true },
    };
    const QStringList attributes { u"service"_s, u"com.plumrest.Vorsik"_s, u"account"_s,
        u"gigachat-authorization-key"_s };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.expected.toStdString());
        if (row.keyring && qEnvironmentVariableIsEmpty("VERBULO_HEADLESS_SESSION"))
            continue; // needs the headless session's keyring
        if (row.keyring) { // a stored key of spaces, in the session's in-memory collection
            QProcess store;
            store.start(
                u"secret-tool"_s, QStringList { u"store"_s, u"--collection=session"_s, u"--label=key"_s } + attributes);
            store.write("   ");
            store.closeWriteChannel();
            ASSERT_TRUE(store.waitForFinished(30'000) && store.exitCode() == 0);
        }
        LoopbackHttpServer server;
        ASSERT_TRUE(server.listenTls(TestCertificates::shared().server, TestCertificates::shared().serverKey));
        server.setHandler([&row](const LoopbackHttpServer::Request &request) {
            for (const auto &[path, answer] : row.answers) {
                if (request.path == path)
                    return answer;
            }
            return Answer::json(200, "{}");
        });
        int exitCode = -2;
        const QStringList lines = run(row.arguments, row.input, server, &exitCode);
        if (row.keyring)
            QProcess::execute(u"secret-tool"_s, QStringList { u"clear"_s } + attributes);
        const QStringList expected = row.expected.split(u'\n');
        const bool prefix = row.expected.endsWith(u'…');
        EXPECT_EQ(lines.mid(0, expected.size() - prefix), expected.mid(0, expected.size() - prefix));
        EXPECT_EQ(lines.size(), expected.size());
        if (prefix) {
            EXPECT_TRUE(
                lines.last().startsWith(expected.last().chopped(1)) && lines.last().size() >= expected.last().size());
        }
        EXPECT_EQ(exitCode, row.exitCode);
        EXPECT_EQ(server.requestCount() == 0, row.answers.isEmpty());
        for (const auto &request : server.requests()) {
            if (request.path == "/api/v2/oauth") {
                EXPECT_EQ(request.header("Authorization"), "Basic " + key);
            }
            if (request.path == "/v1/chat/completions") {
                EXPECT_EQ(QJsonDocument::fromJson(request.body)[u"model"_s].toString(), u"GigaChat-2-Max"_s);
            }
        }
    }
}

} // namespace
