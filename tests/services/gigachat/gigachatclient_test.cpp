#include "audio/wavencoder.h"
#include "gigachattestsupport.h"
#include "services/gigachat/gigachatclient.h"
#include "services/gigachat/gigachatcurltransport.h"
#include "services/gigachat/gigachaterror.h"
#include "services/gigachat/gigachatexchanges.h"
#include "services/gigachat/gigachatresponseparser.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTimer>

#include <cerrno>

#include <signal.h>

using namespace Qt::StringLiterals;
using namespace GigaChatCurlTransport;

namespace {

using Answer = LoopbackHttpServer::Response;

const QUrl filesURL(u"https://gigachat.devices.sberbank.ru/v1/files"_s);
const QString invalid = u"error:GigaChat вернул некорректный ответ."_s;

QString send(std::optional<QByteArray> body = {}, const QUrl &url = filesURL, double timeout = 120)
{
    const Request request { url, u"POST"_s, { { u"b"_s, u"2"_s }, { u"A"_s, u"1"_s } }, {} };
    return outcomeOf(GigaChatCurlTransport::send(request, std::move(body), timeout));
}

using CurlTransportTest = GigaChatTest;

TEST_F(CurlTransportTest, RunsCurlWithTheArgumentsFilesPermissionsAndStandardInputOfEachExchange)
{
    curl.setDefault({ .output = "201", .body = R"({"id":"file-1"})" });
    const QByteArray body("binary\0body\xff", 12);
    EXPECT_EQ(send(body), u"201 {\"id\":\"file-1\"}"_s);
    send(QByteArray(""));
    send();
    ASSERT_EQ(curl.callCount(), 3);

    const QString dir = QString::fromUtf8(curl.record(1, u"workdir"_s).trimmed());
    EXPECT_EQ(QFileInfo(dir).path(), temporaryPath());
    EXPECT_TRUE(
        QRegularExpression(u"/Verbulo-Giga-[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$"_s).match(dir).hasMatch());
    EXPECT_EQ(curl.arguments(1),
        u"--silent --show-error --request POST --url %1 --cacert %2/russian-ca.pem --capath %2 --config %2/curl.conf "
        u"--connect-timeout 15 --max-time 120 --output %2/response.bin --write-out %{http_code} --data-binary @-"_s
            .arg(filesURL.toString(), dir)
            .split(u' '));
    EXPECT_EQ(curl.record(1, u"perms"_s), "700 600 600 600 ");
    EXPECT_EQ(curl.record(1, u"conf"_s), "header = \"A: 1\"\nheader = \"b: 2\"\n");
    EXPECT_EQ(curl.record(1, u"ca.pem"_s), certificatePEMData());
    EXPECT_EQ(curl.record(1, u"stdin"_s), body);
    // An empty body is still sent; without one standard input is the null device.
    EXPECT_TRUE(curl.record(2, u"stdin-source"_s).startsWith("pipe:") && curl.arguments(2).contains(u"@-"_s));
    EXPECT_TRUE(curl.record(3, u"stdin-source"_s) == "/dev/null\n" && !curl.arguments(3).contains(u"@-"_s));
}

TEST(CurlTransportUnits, HeaderValuesAreEscapedAndCannotStartANewOption)
{
    const std::pair<QList<std::pair<QString, QString>>, QByteArray> headers[] = {
        { { { u"X"_s, u"say \"hi\" C:\\dir"_s } }, "header = \"X: say \\\"hi\\\" C:\\\\dir\"\n" },
        { { { u"X"_s, u"a\r\nb\nc\rd Ключ"_s } }, "header = \"X: abcd \xd0\x9a\xd0\xbb\xd1\x8e\xd1\x87\"\n" },
    };
    for (const auto &[list, text] : headers)
        EXPECT_EQ(configurationText(list), text);
}

// A clean exit gives the status from standard output (invalid when it is not a number); any
// other exit is a transport error that carries curl's trimmed, valid UTF-8 standard error.
TEST_F(CurlTransportTest, CurlsExitAndOutputsBecomeResponseOrError)
{
    const std::pair<CurlAnswer, QString> rows[] = {
        { { .output = " 200\n" }, u"200 answer"_s },
        { { .output = "+404" }, u"404 answer"_s },
        { { .output = "abc" }, invalid },
        { { .output = "000", .exit = 6 }, u"error:Ошибка защищённого соединения"_s },
        { { .output = "000", .exit = 7, .standardError = "  curl: (7) Failed\n" }, u"error:curl: (7) Failed"_s },
        { { .output = "000", .exit = 35, .standardError = "\xff\xfe broken" },
            u"error:Ошибка защищённого соединения"_s },
    };
    for (auto [answer, expected] : rows) {
        answer.body = "answer";
        curl.enqueue(answer);
        EXPECT_EQ(send(), expected) << answer.output.toStdString();
    }
}

TEST_F(CurlTransportTest, OnlyHttpsToTheTwoHostsWithDecodableCertificatesRunsCurl)
{
    curl.setDefault({});
    for (const QString &url : { u"http://gigachat.devices.sberbank.ru/v1/models"_s, u"https://example.com/v1/models"_s,
             u"file:///etc/passwd"_s })
        EXPECT_EQ(send({}, QUrl(url)), u"error:Некорректный адрес GigaChat API."_s) << url.toStdString();
    GigaChatConfiguration configuration = configurationWithCurl(FakeCurl::path());
    configuration.subCertificateBase64 = "not*base64";
    GigaChatConfiguration::replaceForTesting(configuration);
    EXPECT_EQ(send(), u"error:GigaChat отклонил сертификат соединения. Встроенный сертификат не прошёл проверку."_s);
    EXPECT_EQ(curl.callCount(), 0);
    EXPECT_TRUE(QDir(temporaryPath()).isEmpty());
}

TEST_F(CurlTransportTest, AMissingCurlIsALaunchFailure)
{
    GigaChatConfiguration::replaceForTesting(configurationWithCurl(temporaryPath() + u"/no-such-curl"_s));
    EXPECT_TRUE(send("x").startsWith(u"error:Не удалось запустить curl: "_s));
}

// The wait keeps the event loop running; a curl that hangs past its --max-time (5 s here) is
// killed at the limit, and an abandoned one at once; either is reaped, so its process id no
// longer exists, and its directory goes. The bounds leave room for a loaded machine: only
// waiting out the limit for a curl that exited or was abandoned, or not killing a hung one, fails.
TEST_F(CurlTransportTest, ACurlThatExitsAtOnceOrNeverIsAwaitedUntilItsTimeOutOrAbandoned)
{
    const std::tuple<double, bool, QString, qint64, qint64> rows[] = { { 0, false, u"200 "_s, 0, 5'000 },
        { -1, false, u"error:curl не завершился за отведённое время"_s, 6'500, 60'000 },
        { -1, true, u"error:curl завершился аварийно"_s, 0, 5'000 } };
    for (int n = 1; const auto &[seconds, abandon, expected, minimumMs, maximumMs] : rows) {
        curl.enqueue({ .seconds = seconds });
        int ticks = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, &ticker, [&, abandon] {
            if (++ticks && abandon && !curl.record(n, u"pid"_s).isEmpty()) {
                ticker.stop();
                abandonPendingExchanges();
            }
        });
        ticker.start(100);
        QElapsedTimer elapsed;
        elapsed.start();
        EXPECT_EQ(send("x", filesURL, 1), expected);
        EXPECT_TRUE(elapsed.elapsed() >= minimumMs && elapsed.elapsed() <= maximumMs) << elapsed.elapsed();
        EXPECT_GE(ticks, minimumMs / 500) << "the event loop stalled";
        EXPECT_TRUE(::kill(pid_t(curl.record(n++, u"pid"_s).trimmed().toInt()), 0) == -1 && errno == ESRCH);
    }
}

const CurlAnswer token { .body = R"({"access_token":"T0k3n","expires_at":1})" };
const CurlAnswer upload { .body = R"({"id":"file-1"})" };
CurlAnswer chat(const QByteArray &content, const QByteArray &usage = "{}")
{
    return { .body
        = R"({"choices":[{"message":{"role":"assistant","content":)" + content + "}}],\"usage\":" + usage + "}" };
}
CurlAnswer failure(int exit)
{
    return { .output = "000", .exit = exit, .standardError = "curl: (" + QByteArray::number(exit) + ") failed" };
}
const auto networkPrefix = u"error:Не удалось подключиться к GigaChat: Сбой при получении доступа: "_s;

using GigaChatClientTest = GigaChatTest;

TEST(GigaChatUnits, KeyNormalisationAndErrorMessages)
{
    const std::pair<QString, QString> keys[] = { { u"Basic abc123=="_s, u"abc123=="_s },
        { u"  bAsIc ab\nc1\r\n23 == \n"_s, u"abc123=="_s }, { u"Basicabc"_s, u"Basicabc"_s } };
    for (const auto &[key, normalised] : keys)
        EXPECT_EQ(GigaChatExchanges::normalizedAuthorizationKey(key), normalised) << key.toStdString();

    const std::pair<QByteArray, std::optional<QString>> errors[] = { { R"({"message":"M"})", u"M"_s },
        { R"({"message":5,"error":{"message":"E"}})", u"E"_s }, { R"({"error":"E"})", std::nullopt } };
    for (const auto &[body, message] : errors)
        EXPECT_EQ(GigaChatResponseParser::errorMessage(body), message) << body.toStdString();
}

// Transient curl failures are retried after a growing pause; everything else is final.
TEST_F(GigaChatClientTest, ValidationRetriesOnlyTransientFailures)
{
    const CurlAnswer models { .body = R"({"data":[{"id":"A"},{},{"id":3},{"id":"B"}]})" };
    const struct {
        std::vector<CurlAnswer> answers;
        int attempts;
        QString expected;
    } rows[] = {
        { { failure(28), failure(28), token, models }, 3, u"A,B"_s },
        { { failure(28), failure(28), failure(28) }, 3, networkPrefix + u"curl: (28) failed (curl 28)"_s },
        { { failure(60) }, 3,
            u"error:GigaChat отклонил сертификат соединения. Встроенный сертификат не прошёл проверку."_s },
        { { failure(3) }, 3, networkPrefix + u"curl: (3) failed (curl 3)"_s },
        { { failure(7) }, 1, networkPrefix + u"curl: (7) failed (curl 7)"_s },
        { { { .output = "401", .body = R"({"message":"Bad key ECHO-CANARY"})" } }, 3,
            u"error:GigaChat: Bad key ECHO-CANARY"_s },
        { { { .output = "401", .body = "<html>denied</html>" } }, 3, u"error:GigaChat: HTTP 401"_s },
        { { { .body = R"({"access_token":""})" } }, 3, invalid },
        { { token, { .body = R"({"models":[]})" } }, 3, invalid },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.expected.toStdString());
        const int before = curl.callCount();
        for (const CurlAnswer &answer : row.answers)
            curl.enqueue(answer);
        EXPECT_EQ(outcomeOf(GigaChatExchanges::modelIds(u"key"_s, { 120, row.attempts })), row.expected);
        ASSERT_EQ(curl.callCount() - before, int(row.answers.size()));
        // A loaded machine may start curl late, never early.
        for (int n = 1; n < int(row.answers.size()) && row.answers[n - 1].exit; ++n)
            EXPECT_GE(curl.record(before + n + 1, u"time"_s).trimmed().toDouble()
                    - curl.record(before + n, u"time"_s).trimmed().toDouble(),
                0.5 * n - 0.05);
    }
}

TEST_F(GigaChatClientTest, EveryUploadedFileIsDeletedAndNoDeletionFailureCostsATranscript)
{
    for (const CurlAnswer &answer : { token, upload, chat(R"("Раз")", R"({"prompt_tokens":10})"), failure(3), token,
             upload, chat(R"(" \n ")", R"({"prompt_tokens":99})"), CurlAnswer { .output = "500", .body = "{}" }, token,
             CurlAnswer { .body = R"({"id":"../models"})" }, chat(R"("Текст")") })
        curl.enqueue(answer);
    GigaChatClient client;
    EXPECT_EQ(outcomeOf(client.transcribeAndEdit("\x01\x02", u"key"_s, SmartMode::verbatim, {}, {})), u"Раз"_s);
    EXPECT_EQ(client.lastUsage(), (GigaChatUsage { 10, 0, 0, 0 }));
    EXPECT_EQ(curl.callCount(), 4);

    // An empty transcript is an error that keeps the last usage; its file is deleted all the same.
    EXPECT_EQ(outcomeOf(client.transcribeAndEdit("\x01\x02", u"key"_s, SmartMode::verbatim, {}, {})),
        u"error:GigaChat не вернул распознанный текст."_s);
    EXPECT_EQ(client.lastUsage(), (GigaChatUsage { 10, 0, 0, 0 }));
    ASSERT_EQ(curl.callCount(), 8);
    EXPECT_EQ(curl.arguments(8).at(5), u"https://gigachat.devices.sberbank.ru/v1/files/file-1/delete"_s);

    // A file id that is not a plain path segment is never deleted.
    EXPECT_EQ(outcomeOf(client.transcribeAndEdit("\x01\x02", u"key"_s, SmartMode::structured, {}, {})), u"Текст"_s);
    EXPECT_EQ(curl.callCount(), 11);

    // Each editing mode asks for its own processing (the corrected one is in the golden request).
    const auto processing = [&](int call) {
        const QJsonValue prompt
            = QJsonDocument::fromJson(curl.record(call, u"stdin"_s))[u"messages"_s][0][u"content"_s];
        return prompt.toString().section(u"Обработка: "_s, 1).section(u'\n', 0, 0).section(u'.', 0, 0);
    };
    EXPECT_EQ(QStringList({ processing(3), processing(11) }),
        QStringList({ u"Расшифруй максимально дословно"_s,
            u"Преврати диктовку в ясный готовый текст: исправь ошибки "
            u"распознавания, грамматику и пунктуацию, убери слова-паразиты, "
            u"обрывки и повторы, раздели мысли на абзацы"_s }));
}

TEST_F(GigaChatClientTest, MissingKeyAndEmptyAudioFailBeforeAnyTraffic)
{
    GigaChatClient client;
    const QString emptyAudio = u"error:Запись получилась пустой."_s;
    EXPECT_EQ(outcomeOf(client.transcribeAndEdit("\x01\x02", u" \n\t "_s, SmartMode::verbatim, {}, {})),
        u"error:Добавьте Authorization Key GigaChat."_s);
    EXPECT_EQ(outcomeOf(client.transcribeAndEdit("", u"key"_s, SmartMode::verbatim, {}, {})), emptyAudio);
    EXPECT_EQ(curl.callCount(), 0);
}

const QByteArray key = "c2VsZi10ZXN0LWtleS0xMjM0NTY3ODkw";
const QByteArray transcript = R"({"choices":[{"message":{"content":" Привет, мир 👍🏽\n"}}])";

using GigaChatSelfTestProcess = GigaChatTest;

// The self-test run as its own process, as a user or a script runs it: its lines on standard
// error and its exit code, never the key or the transcript.
TEST_F(GigaChatSelfTestProcess, ReportsOneLinePerStepAndAnExitCode)
{
    const QString wav = temporaryPath() + u"/speech.wav"_s;
    QFile file(wav);
    ASSERT_TRUE(
        file.open(QIODevice::WriteOnly) && file.write(WAVEncoder::encodePCM16Mono24kHz(QByteArray(4800, '\x11'))));
    file.close();
    const QStringList withKey { u"--self-test-gigachat"_s, u"--self-test-key-stdin"_s };
    const QStringList transcribe = withKey
        + QStringList { u"--self-test-audio"_s, wav, u"--self-test-model"_s, u"GigaChat-2-Max"_s,
              u"--self-test-model"_s, u"Other"_s };
    const QString loaded = u"started\nkey_loaded\nVERBULO_SELF_TEST_"_s;
    const struct {
        QStringList arguments;
        QByteArray input;
        std::vector<CurlAnswer> answers; // the self-test does not wait for the deletion
        QString expected; // the lines; when it ends with "…" the last one only begins so
    } rows[] = {
        { withKey, " \n\t \n", {}, u"started\nVERBULO_SELF_TEST_FAILED: missing_key"_s },
        { withKey, "  " + key + " \n", { token, { .body = R"({"data":[{"id":"GigaChat"},{"id":"GigaChat-Pro"}]})" } },
            loaded + u"OK: models=GigaChat,GigaChat-Pro"_s },
        { withKey, key,
            { { .output = "401", .body = R"({"message":"key )" + key + R"( is bad\nVERBULO_SELF_TEST_OK: x"})" } },
            loaded + u"FAILED: GigaChat: key …"_s },
        { transcribe, key,
            { token, upload,
                { .body = transcript
                        + R"(,"usage":{"prompt_tokens":12,"completion_tokens":5,"total_tokens":17,"precached_prompt_tokens":3}})" } },
            loaded
                + u"OK: model=GigaChat-2-Max usage=prompt=12 completion=5 total=17 precached=3 transcript_chars=13"_s },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.expected.toStdString());
        const int before = curl.callCount();
        for (const CurlAnswer &answer : row.answers)
            curl.enqueue(answer);
        curl.setDefault({ .body = "{}" });
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"VERBULO_TEST_CURL"_s, FakeCurl::path());
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(SELF_TEST_DRIVER), row.arguments);
        process.write(row.input);
        process.closeWriteChannel();
        EXPECT_TRUE(process.waitForFinished(120'000));
        EXPECT_TRUE(process.readAllStandardOutput().isEmpty()) << "the self-test reports on standard error only";
        const QByteArray errors = process.readAllStandardError();
        EXPECT_TRUE(errors.endsWith('\n') && !errors.contains(key) && !errors.contains("Привет"))
            << errors.toStdString();
        const QStringList lines = QString::fromUtf8(errors).split(u'\n', Qt::SkipEmptyParts);
        const QStringList expected = row.expected.split(u'\n');
        const bool prefix = row.expected.endsWith(u'…');
        EXPECT_EQ(lines.mid(0, expected.size() - prefix), expected.mid(0, expected.size() - prefix));
        EXPECT_EQ(lines.size(), expected.size());
        EXPECT_TRUE(!prefix || lines.last().startsWith(expected.last().chopped(1)));
        EXPECT_EQ(process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            row.expected.contains(u"OK: "_s) ? 0 : 1);
        // What curl was given: the key as the Basic credentials, the chosen model for the transcript.
        EXPECT_EQ(curl.callCount() == before, row.answers.empty());
        EXPECT_TRUE(row.answers.empty() || curl.record(before + 1, u"conf"_s).contains("Authorization: Basic " + key));
        EXPECT_TRUE(row.answers.size() < 3
            || QJsonDocument::fromJson(curl.record(before + 3, u"stdin"_s))[u"model"_s] == u"GigaChat-2-Max"_s);
    }
}

// The real curl against a loopback HTTPS server whose certificate chains to a
// test root and sub CA made with openssl when the test runs.
class GigaChatHttpsTest : public GigaChatTest {
protected:
    void listen(bool trusted)
    {
        const TestCertificates &certificates = TestCertificates::shared();
        ASSERT_TRUE(trusted ? server.listenTls(certificates.server, certificates.serverKey)
                            : server.listenTls(certificates.strangerServer, certificates.strangerKey));
        GigaChatConfiguration::replaceForTesting(loopbackConfiguration(server.baseUrl()));
        server.enqueue(Answer::json(200, R"({"access_token":"T0k3n","expires_at":1})"));
    }

    LoopbackHttpServer server;
};

TEST_F(GigaChatHttpsTest, DictationRunsTokenUploadTranscriptAndDeletion)
{
    listen(true);
    server.enqueue(Answer::json(200, R"({"id":"file-1","object":"file"})"));
    server.enqueue(Answer::json(200,
        R"({"choices":[{"message":{"content":"  Привет, мир.\n"}}],)"
        R"("usage":{"prompt_tokens":12,"completion_tokens":5,"total_tokens":17}})"));
    server.enqueue(Answer::json(200, R"({"deleted":true})"));
    QByteArray pcm(4800, '\0');
    for (int i = 0; i < pcm.size(); ++i)
        pcm[i] = char(i * 7);
    QStringList terms;
    for (int i = 0; i < 150; ++i)
        terms.append(u"t%1"_s.arg(i));

    GigaChatClient client(120, 3);
    EXPECT_EQ(
        outcomeOf(client.transcribeAndEdit(pcm, u"  Basic abc\nDEF== "_s, SmartMode::clean, u" Заметки "_s, terms)),
        u"Привет, мир."_s);
    EXPECT_EQ(client.lastUsage(), (GigaChatUsage { 12, 5, 17, 0 }));
    ASSERT_EQ(server.requestCount(), 4);
    const Golden::Literals literals { { u"WAV"_s, WAVEncoder::encodePCM16Mono24kHz(pcm) },
        { u"TERMS"_s, terms.mid(0, 100).join(u", "_s).toUtf8() } };
    const QString golden[] = { u"oauth"_s, u"files"_s, u"chat"_s, u"delete"_s };
    for (int i = 0; i < 4; ++i)
        Golden::expectRequest(server.requests()[i], u"gigachat/golden/%1.http"_s.arg(golden[i]), literals);
}

TEST_F(GigaChatHttpsTest, AServerOfAnUnknownAuthorityIsACertificateFailureWithoutRetry)
{
    listen(false);
    EXPECT_EQ(outcomeOf(GigaChatExchanges::modelIds(u"key"_s, { 120, 3 })),
        u"error:GigaChat отклонил сертификат соединения. Встроенный сертификат не прошёл проверку."_s);
    EXPECT_EQ(server.requestCount(), 0);
}

// curl gives up before reading the body; the unread body must not turn a
// connection failure into anything else.
TEST_F(GigaChatHttpsTest, ABodyToAClosedPortIsCurlsConnectionFailure)
{
    QUrl base;
    {
        LoopbackHttpServer closed;
        ASSERT_TRUE(closed.listen());
        base = closed.baseUrl();
    }
    base.setScheme(u"https"_s);
    GigaChatConfiguration::replaceForTesting(loopbackConfiguration(base));
    const QUrl url(base.toString() + u"/v1/files"_s);
    const QString result
        = outcomeOf(GigaChatCurlTransport::send({ url, u"POST"_s, {}, {} }, QByteArray(3'000'000, 'x'), 10));
    EXPECT_TRUE(result.startsWith(u"error:curl: (7)"_s)) << result.toStdString();
}

} // namespace
