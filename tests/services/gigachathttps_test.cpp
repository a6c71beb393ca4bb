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

class GigaChatHttpsTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        EXPECT_EQ(temporary.leftoverWorkingDirectories(), QStringList());
        GigaChatConfiguration::replaceForTesting(std::nullopt);
    }

    void listen(const QSslCertificate &certificate, const QSslKey &key)
    {
        ASSERT_TRUE(server.listenTls(certificate, key));
        GigaChatConfiguration::replaceForTesting(loopbackConfiguration(server));
    }

    static QByteArray header(const LoopbackHttpServer::Request &request, const char *name)
    {
        return request.header(name).value_or("<absent>");
    }

    PrivateTemporaryDirectory temporary;
    LoopbackHttpServer server;
};

TEST_F(GigaChatHttpsTest, DictationRunsTokenUploadTranscriptAndDeletion)
{
    listen(TestCertificates::shared().server, TestCertificates::shared().serverKey);
    server.enqueue(Answer::json(200, tokenAnswer));
    server.enqueue(Answer::json(200, R"({"id":"file-1","object":"file"})"));
    server.enqueue(Answer::json(200, R"({"choices":[{"message":{"content":"  Привет, мир.\n"}}],)"
                                     R"("usage":{"prompt_tokens":12,"completion_tokens":5,"total_tokens":17}})"));
    server.enqueue(Answer::json(200, R"({"deleted":true})"));

    QByteArray pcm(4800, '\0');
    for (int i = 0; i < pcm.size(); ++i)
        pcm[i] = char(i * 7);
    GigaChatClient client(120, 3);
    const QString text = awaitTask(
        client.transcribeAndEdit(pcm, u"  Basic abc\nDEF== "_s, SmartMode::clean, u"Заметки"_s, {u"Ворсик"_s}));

    EXPECT_EQ(text, u"Привет, мир."_s);
    EXPECT_EQ(client.lastUsage(), (GigaChatUsage{12, 5, 17, 0}));
    const auto &requests = server.requests();
    ASSERT_EQ(requests.size(), 4);

    const auto &token = requests[0];
    EXPECT_EQ(token.method, "POST");
    EXPECT_EQ(token.path, "/api/v2/oauth");
    EXPECT_EQ(header(token, "Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(header(token, "Accept"), "application/json");
    EXPECT_EQ(header(token, "Authorization"), "Basic abcDEF==");
    EXPECT_TRUE(QRegularExpression(u"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"_s)
                    .match(QString::fromLatin1(header(token, "RqUID")))
                    .hasMatch());
    EXPECT_EQ(token.body, "scope=GIGACHAT_API_PERS");

    const auto &upload = requests[1];
    EXPECT_EQ(upload.method, "POST");
    EXPECT_EQ(upload.path, "/v1/files");
    EXPECT_EQ(header(upload, "Authorization"), "Bearer T0k3n");
    EXPECT_EQ(header(upload, "Accept"), "application/json");
    const QByteArray contentType = header(upload, "Content-Type");
    const auto boundaryMatch =
        QRegularExpression(u"^multipart/form-data; boundary=(Verbulo-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-"
                           u"[0-9A-F]{12})$"_s)
            .match(QString::fromLatin1(contentType));
    ASSERT_TRUE(boundaryMatch.hasMatch()) << contentType.toStdString();
    const QByteArray boundary = boundaryMatch.captured(1).toLatin1();
    EXPECT_EQ(upload.body, "--" + boundary + "\r\n"
                              "Content-Disposition: form-data; name=\"file\"; filename=\"dictation.wav\"\r\n"
                              "Content-Type: audio/wav\r\n\r\n"
                              + WAVEncoder::encodePCM16Mono24kHz(pcm) + "\r\n--" + boundary + "\r\n"
                              "Content-Disposition: form-data; name=\"purpose\"\r\n\r\n"
                              "general\r\n--" + boundary + "--\r\n");

    const auto &chat = requests[2];
    EXPECT_EQ(chat.method, "POST");
    EXPECT_EQ(chat.path, "/v1/chat/completions");
    EXPECT_EQ(header(chat, "Authorization"), "Bearer T0k3n");
    EXPECT_EQ(header(chat, "Content-Type"), "application/json");
    EXPECT_EQ(header(chat, "Accept"), "application/json");
    const QJsonObject body = QJsonDocument::fromJson(chat.body).object();
    EXPECT_EQ(body.keys(), QStringList({u"messages"_s, u"model"_s, u"stream"_s, u"temperature"_s}));
    EXPECT_EQ(body[u"model"_s].toString(), u"GigaChat-3-Ultra"_s);
    EXPECT_EQ(body[u"temperature"_s].toDouble(), 0.1);
    EXPECT_TRUE(body[u"stream"_s].isBool() && !body[u"stream"_s].toBool());
    const QJsonArray messages = body[u"messages"_s].toArray();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_EQ(messages[0][u"role"_s].toString(), u"user"_s);
    EXPECT_EQ(messages[0][u"attachments"_s].toArray(), QJsonArray{u"file-1"_s});
    EXPECT_TRUE(messages[0][u"content"_s].toString().endsWith(
        u"\nКонтекст речи: Заметки\nПредпочтительные имена и термины: Ворсик"_s));

    const auto &deletion = requests[3];
    EXPECT_EQ(deletion.method, "POST");
    EXPECT_EQ(deletion.path, "/v1/files/file-1/delete");
    EXPECT_EQ(header(deletion, "Authorization"), "Bearer T0k3n");
    EXPECT_TRUE(deletion.body.isEmpty());
}

TEST_F(GigaChatHttpsTest, AServerOfAnUnknownAuthorityIsACertificateFailureWithoutRetry)
{
    listen(TestCertificates::shared().strangerServer, TestCertificates::shared().strangerKey);
    server.enqueue(Answer::json(200, tokenAnswer));
    GigaChatClient client(120, 3);
    try {
        awaitTask(client.validateConnection(u"key"_s));
        ADD_FAILURE() << "an unknown authority was trusted";
    } catch (const GigaChatError &error) {
        EXPECT_EQ(error.errorCase(), GigaChatError::Case::certificateRequired) << error.what();
    }
    EXPECT_EQ(server.requestCount(), 0);
    // The handshake was refused by curl, not by the server; the fake-curl tests show there was no second attempt.
    EXPECT_TRUE(TestUtil::runUntil([this] { return !server.tlsErrors().isEmpty(); }));
}

struct HostileRow
{
    const char *name;
    Answer answer;
    std::optional<GigaChatError::Case> error;
};

void PrintTo(const HostileRow &row, std::ostream *out) { *out << row.name; }

class GigaChatHostileServerTest : public GigaChatHttpsTest, public ::testing::WithParamInterface<HostileRow>
{
};

TEST_P(GigaChatHostileServerTest, EndsInTheClientsErrorsAndLeavesNothingBehind)
{
    listen(TestCertificates::shared().server, TestCertificates::shared().serverKey);
    server.enqueue(GetParam().answer);
    server.enqueue(Answer::json(200, R"({"data":[{"id":"GigaChat"}]})"));
    GigaChatClient client(30, 1);
    try {
        EXPECT_EQ(awaitTask(client.validateConnection(u"key"_s)), QStringList{u"GigaChat"_s});
        EXPECT_FALSE(GetParam().error) << "no error";
    } catch (const GigaChatError &error) {
        ASSERT_TRUE(GetParam().error) << error.what();
        EXPECT_EQ(error.errorCase(), *GetParam().error) << error.what();
        if (error.errorCase() == GigaChatError::Case::network) {
            EXPECT_TRUE(error.message().contains(u"(curl "_s)) << error.what();
        }
    }
}

Answer withReason(Answer answer, QByteArray reason)
{
    answer.reason = std::move(reason);
    return answer;
}

Answer delayed(Answer answer, std::chrono::milliseconds delay)
{
    answer.delay = delay;
    return answer;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, GigaChatHostileServerTest,
    ::testing::Values(
        HostileRow{"oddStatusText", withReason(Answer::json(200, tokenAnswer), "Perfectly Fine Indeed"), std::nullopt},
        HostileRow{"slowWithinTheTimeOut", delayed(Answer::json(200, tokenAnswer), std::chrono::milliseconds(1500)),
                   std::nullopt},
        HostileRow{"binaryBody", Answer::text(200, QByteArray("\x00\xff\xfe\x01{\"access_token\"", 19)),
                   GigaChatError::Case::invalidResponse},
        HostileRow{"hugeBody", Answer::json(200, QByteArray(8 * 1024 * 1024, '[')),
                   GigaChatError::Case::invalidResponse},
        HostileRow{"brokenStatusLine", Answer::raw("HTTP/1.1 two hundred\r\n\r\n"), GigaChatError::Case::network},
        HostileRow{"closedWithoutAnswer", Answer::closing(), GigaChatError::Case::network},
        HostileRow{"htmlErrorPage", Answer::text(502, "<html>Bad Gateway</html>", "text/html"),
                   GigaChatError::Case::api}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace

namespace {

// curl gives up before reading the body; the unread body must not turn a
// connection failure into anything else.
TEST(GigaChatHttpsRefused, ABodyToAClosedPortIsCurlsConnectionFailure)
{
    PrivateTemporaryDirectory temporary;
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
    const quint16 port = probe.serverPort();
    probe.close();

    LoopbackHttpServer placeholder;
    GigaChatConfiguration configuration = loopbackConfiguration(placeholder);
    configuration.apiBaseURL = QUrl(u"https://127.0.0.1:%1"_s.arg(port));
    GigaChatConfiguration::replaceForTesting(configuration);

    GigaChatCurlTransport::Request request;
    request.url = QUrl(u"https://127.0.0.1:%1/v1/files"_s.arg(port));
    request.method = u"POST"_s;
    try {
        awaitTask(GigaChatCurlTransport::send(request, QByteArray(3'000'000, 'x'), 10));
        ADD_FAILURE() << "a closed port answered";
    } catch (const GigaChatCurlTransport::TransportError &error) {
        EXPECT_EQ(error.exitCode(), 7) << error.what();
    }
    GigaChatConfiguration::replaceForTesting(std::nullopt);
    EXPECT_EQ(temporary.leftoverWorkingDirectories(), QStringList());
}

} // namespace
