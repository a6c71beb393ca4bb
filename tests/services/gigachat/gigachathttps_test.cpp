#include "gigachatclient.h"
#include "gigachatcurltransport.h"
#include "gigachaterror.h"
#include "gigachattestsupport.h"
#include "loopbackhttpserver.h"
#include "wavencoder.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpServer>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using Answer = LoopbackHttpServer::Response;

// The real curl against a loopback HTTPS server whose certificate chains to a
// test root and sub CA made with openssl when the test runs.
namespace {

const QByteArray tokenAnswer = R"({"access_token":"T0k3n","expires_at":1})";

class GigaChatHttpsTest : public GigaChatTest {
protected:
    void listen(bool trusted = true)
    {
        const TestCertificates &certificates = TestCertificates::shared();
        ASSERT_TRUE(trusted ? server.listenTls(certificates.server, certificates.serverKey)
                            : server.listenTls(certificates.strangerServer, certificates.strangerKey));
        GigaChatConfiguration::replaceForTesting(loopbackConfiguration(server));
    }

    // "METHOD path" and then the named headers, "<absent>" for a missing one.
    static QByteArrayList summary(const LoopbackHttpServer::Request &request, const QByteArrayList &headers)
    {
        QByteArrayList result { request.method + ' ' + request.path };
        for (const QByteArray &name : headers)
            result.append(name + ": " + request.header(name).value_or("<absent>"));
        return result;
    }

    LoopbackHttpServer server;
};

TEST_F(GigaChatHttpsTest, DictationRunsTokenUploadTranscriptAndDeletion)
{
    listen();
    server.enqueue(Answer::json(200, tokenAnswer));
    server.enqueue(Answer::json(200, R"({"id":"file-1","object":"file"})"));
    server.enqueue(Answer::json(200,
        R"({"choices":[{"message":{"content":"  Привет, мир.\n"}}],)"
        R"("usage":{"prompt_tokens":12,"completion_tokens":5,"total_tokens":17}})"));
    server.enqueue(Answer::json(200, R"({"deleted":true})"));

    QByteArray pcm(4800, '\0');
    for (int i = 0; i < pcm.size(); ++i)
        pcm[i] = char(i * 7);
    GigaChatClient client(120, 3);
    const QString text = awaitTask(
        client.transcribeAndEdit(pcm, u"  Basic abc\nDEF== "_s, SmartMode::clean, u"Заметки"_s, { u"Ворсик"_s }));

    EXPECT_EQ(text, u"Привет, мир."_s);
    EXPECT_EQ(client.lastUsage(), (GigaChatUsage { 12, 5, 17, 0 }));
    const auto &requests = server.requests();
    ASSERT_EQ(requests.size(), 4);

    const auto &token = requests[0];
    EXPECT_EQ(summary(token, { "Content-Type", "Accept", "Authorization" }),
        QByteArrayList({ "POST /api/v2/oauth", "Content-Type: application/x-www-form-urlencoded",
            "Accept: application/json", "Authorization: Basic abcDEF==" }));
    EXPECT_TRUE(QRegularExpression(u"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"_s)
                    .match(QString::fromLatin1(token.header("RqUID").value_or("")))
                    .hasMatch());
    EXPECT_EQ(token.body, "scope=GIGACHAT_API_PERS");

    const auto &upload = requests[1];
    EXPECT_EQ(summary(upload, { "Authorization", "Accept" }),
        QByteArrayList({ "POST /v1/files", "Authorization: Bearer T0k3n", "Accept: application/json" }));
    const QByteArray contentType = upload.header("Content-Type").value_or("");
    const auto boundaryMatch
        = QRegularExpression(u"^multipart/form-data; boundary=(Verbulo-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-"
                             u"[0-9A-F]{12})$"_s)
              .match(QString::fromLatin1(contentType));
    ASSERT_TRUE(boundaryMatch.hasMatch()) << contentType.toStdString();
    const QByteArray boundary = boundaryMatch.captured(1).toLatin1();
    EXPECT_EQ(upload.body,
        "--" + boundary
            + "\r\n"
              "Content-Disposition: form-data; name=\"file\"; filename=\"dictation.wav\"\r\n"
              "Content-Type: audio/wav\r\n\r\n"
            + WAVEncoder::encodePCM16Mono24kHz(pcm) + "\r\n--" + boundary
            + "\r\n"
              "Content-Disposition: form-data; name=\"purpose\"\r\n\r\n"
              "general\r\n--"
            + boundary + "--\r\n");

    const auto &chat = requests[2];
    EXPECT_EQ(summary(chat, { "Authorization", "Content-Type", "Accept" }),
        QByteArrayList({ "POST /v1/chat/completions", "Authorization: Bearer T0k3n", "Content-Type: application/json",
            "Accept: application/json" }));
    QJsonObject body = QJsonDocument::fromJson(chat.body).object();
    QJsonObject message = body[u"messages"_s].toArray().at(0).toObject();
    EXPECT_TRUE(message.take(u"content"_s)
                    .toString()
                    .endsWith(u"\nКонтекст речи: Заметки\nПредпочтительные имена и термины: Ворсик"_s));
    body[u"messages"_s] = QJsonArray { message };
    EXPECT_EQ(body,
        QJsonObject({ { u"model"_s, u"GigaChat-3-Ultra"_s }, { u"temperature"_s, 0.1 }, { u"stream"_s, false },
            { u"messages"_s,
                QJsonArray {
                    QJsonObject { { u"role"_s, u"user"_s }, { u"attachments"_s, QJsonArray { u"file-1"_s } } } } } }));

    EXPECT_EQ(summary(requests[3], { "Authorization" }),
        QByteArrayList({ "POST /v1/files/file-1/delete", "Authorization: Bearer T0k3n" }));
    EXPECT_TRUE(requests[3].body.isEmpty());
}

TEST_F(GigaChatHttpsTest, AServerOfAnUnknownAuthorityIsACertificateFailureWithoutRetry)
{
    listen(false);
    server.enqueue(Answer::json(200, tokenAnswer));
    GigaChatClient client(120, 3);
    const auto error = errorOf<GigaChatError>([&client] { awaitTask(client.validateConnection(u"key"_s)); });
    ASSERT_TRUE(error) << "an unknown authority was trusted";
    EXPECT_EQ(error->errorCase(), GigaChatError::Case::certificateRequired) << error->what();
    EXPECT_EQ(server.requestCount(), 0);
    // The handshake was refused by curl, not by the server; the fake-curl tests show there was no second attempt.
    EXPECT_TRUE(TestUtil::runUntil([this] { return !server.tlsErrors().isEmpty(); }));
}

// curl gives up before reading the body; the unread body must not turn a
// connection failure into anything else.
TEST_F(GigaChatHttpsTest, ABodyToAClosedPortIsCurlsConnectionFailure)
{
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
    const QUrl url(u"https://127.0.0.1:%1/v1/files"_s.arg(probe.serverPort()));
    probe.close();
    GigaChatConfiguration configuration = loopbackConfiguration(server);
    configuration.apiBaseURL = url.adjusted(QUrl::RemovePath);
    GigaChatConfiguration::replaceForTesting(configuration);

    const auto error = errorOf<GigaChatCurlTransport::TransportError>([&url] {
        awaitTask(GigaChatCurlTransport::send({ url, u"POST"_s, {}, {} }, QByteArray(3'000'000, 'x'), 10));
    });
    ASSERT_TRUE(error) << "a closed port answered";
    EXPECT_EQ(error->exitCode(), 7) << error->what();
}

Answer withReason(Answer answer, QByteArray reason)
{
    answer.reason = std::move(reason);
    return answer;
}

TEST_F(GigaChatHttpsTest, AHostileServerEndsInTheClientsErrorsAndLeavesNothingBehind)
{
    const struct {
        const char *name;
        Answer answer;
        std::optional<GigaChatError::Case> error;
    } rows[] = {
        { "oddStatusText", withReason(Answer::json(200, tokenAnswer), "Perfectly Fine Indeed"), std::nullopt },
        { "hugeBody", Answer::json(200, QByteArray(8 * 1024 * 1024, '[')), GigaChatError::Case::invalidResponse },
        { "brokenStatusLine", Answer::raw("HTTP/1.1 two hundred\r\n\r\n"), GigaChatError::Case::network },
        { "closedWithoutAnswer", Answer::closing(), GigaChatError::Case::network },
        { "htmlErrorPage", Answer::text(502, "<html>Bad Gateway</html>", "text/html"), GigaChatError::Case::api },
    };
    listen();
    GigaChatClient client(30, 1);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        server.enqueue(row.answer);
        if (!row.error)
            server.enqueue(Answer::json(200, R"({"data":[{"id":"GigaChat"}]})"));
        const auto error = errorOf<GigaChatError>(
            [&client] { EXPECT_EQ(awaitTask(client.validateConnection(u"key"_s)), QStringList { u"GigaChat"_s }); });
        ASSERT_EQ(error.has_value(), row.error.has_value()) << (error ? error->what() : "no error");
        if (error) {
            EXPECT_EQ(error->errorCase(), *row.error) << error->what();
            EXPECT_EQ(error->message().contains(u"(curl "_s), row.error == GigaChatError::Case::network)
                << error->what();
        }
        EXPECT_EQ(server.pendingResponses(), 0);
    }
}

} // namespace
