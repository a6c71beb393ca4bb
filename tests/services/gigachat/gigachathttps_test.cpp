#include "gigachatclient.h"
#include "gigachaterror.h"
#include "gigachattestsupport.h"
#include "wavencoder.h"

using namespace Qt::StringLiterals;
using Answer = LoopbackHttpServer::Response;

// The real curl against a loopback HTTPS server whose certificate chains to a
// test root and sub CA made with openssl when the test runs.
namespace {

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
    EXPECT_EQ(outcomeOf(GigaChatClient(120, 3).validateConnection(u"key"_s)),
        u"error:GigaChat отклонил сертификат соединения. Встроенный сертификат не прошёл проверку."_s);
    EXPECT_EQ(server.requestCount(), 0);
    // Refused by curl, not by the server; the fake-curl tests show there was no second attempt.
    EXPECT_TRUE(TestUtil::runUntil([this] { return !server.tlsErrors().isEmpty(); }));
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
