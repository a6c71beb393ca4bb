#include "realtimetranscriber.h"
#include "servicetestsupport.h"

#include <QJsonObject>
#include <QTcpServer>
#include <QWebSocket>
#include <QWebSocketServer>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// What the callbacks reported ("partial:…", "final:…", "error:…" in arrival order) to this transcriber.
std::unique_ptr<RealtimeTranscriber> makeTranscriber(QStringList &heard, const QString &baseURL)
{
    const auto report
        = [&heard](const QString &kind) { return [&heard, kind](const QString &text) { heard.append(kind + text); }; };
    return std::make_unique<RealtimeTranscriber>(
        RealtimeTranscriberCallbacks { report(u"partial:"_s), report(u"final:"_s), report(u"error:"_s) },
        OpenAIConfiguration(baseURL));
}

void await(QCoro::Task<void> task) { EXPECT_EQ(outcomeOf(std::move(task)), QString()); }

} // namespace

// One dictation through a real web socket on 127.0.0.1: what the service receives, and what
// the controller hears for each way the service may end the exchange.
TEST(RealtimeTranscriberTest, WholeDictationOverALoopbackSocket)
{
    const QString delta = uR"({"type":"conversation.item.input_audio_transcription.delta","delta":"%1"})"_s;
    const QString done = uR"({"type":"conversation.item.input_audio_transcription.completed","transcript":"%1"})"_s;
    const std::pair<QStringList, QStringList> cases[] = {
        // sent on commit ("CLOSE" closes there) → heard
        { { delta.arg(u"При"_s), delta.arg(u"вет"_s), done.arg(u"Привет"_s), u"CLOSE"_s },
            { u"partial:При"_s, u"partial:вет"_s, u"final:Привет"_s } },
        { { delta.arg(u"При"_s), u"CLOSE"_s }, { u"partial:При"_s, u"error:Соединение с распознаванием прервано."_s } },
        { { u"not json"_s, u"[1]"_s, uR"({"type":7})"_s, uR"({"type":"session.updated"})"_s,
              uR"({"type":"conversation.item.input_audio_transcription.delta","delta":5})"_s,
              uR"({"type":"conversation.item.input_audio_transcription.completed"})"_s },
            { u"final:"_s } },
        { { uR"({"type":"error","error":{"message":"Invalid key"}})"_s, uR"({"type":"error","error":"x"})"_s },
            { u"error:Invalid key"_s, u"error:Ошибка OpenAI API."_s } },
    };
    QStringList keywords;
    for (int i = 0; i < 150; ++i)
        keywords.append(u"term%1"_s.arg(i));

    for (const auto &[serverEvents, expected] : cases) {
        SCOPED_TRACE(expected.join(u'|').toStdString());
        QWebSocketServer server(u"loopback"_s, QWebSocketServer::NonSecureMode);
        ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
        QNetworkRequest handshake;
        QList<QJsonObject> messages;
        QObject::connect(&server, &QWebSocketServer::newConnection, &server, [&] {
            QWebSocket *client = server.nextPendingConnection();
            client->setParent(&server); // handed over unowned
            handshake = client->request();
            QObject::connect(client, &QWebSocket::textMessageReceived, client, [&, client](const QString &text) {
                messages.append(QJsonDocument::fromJson(text.toUtf8()).object());
                if (messages.last()[u"type"_s] != u"input_audio_buffer.commit"_s)
                    return;
                for (const QString &event : serverEvents)
                    event == u"CLOSE" ? client->close() : void(client->sendBinaryMessage(event.toUtf8()));
            });
        });
        QStringList heard;
        auto transcriber = makeTranscriber(heard, u"http://127.0.0.1:%1"_s.arg(server.serverPort()));
        await(transcriber->connect(u"sk-test"_s, u"Совещание"_s, keywords));
        QByteArray pcm;
        for (char sample = 1; sample <= 3; ++sample) {
            await(transcriber->appendAudio(QByteArray(4800, sample)));
            pcm += QByteArray(4800, sample);
        }
        await(transcriber->commit());
        ASSERT_TRUE(TestUtil::runUntil([&] { return heard.size() >= expected.size(); }, 5s));
        TestUtil::runFor(100ms); // room for an unwanted extra callback
        EXPECT_EQ(heard, expected);

        EXPECT_EQ(handshake.url().toString(QUrl::RemoveAuthority | QUrl::RemoveScheme),
            u"/v1/realtime?intent=transcription"_s);
        EXPECT_EQ(handshake.rawHeader("Authorization"), "Bearer sk-test");
        QStringList types;
        QByteArray received;
        for (const QJsonObject &message : messages) {
            types.append(message[u"type"_s].toString());
            received += QByteArray::fromBase64(
                message[u"audio"_s].toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        }
        EXPECT_EQ(types,
            (QStringList { u"session.update"_s, u"input_audio_buffer.append"_s, u"input_audio_buffer.append"_s,
                u"input_audio_buffer.append"_s, u"input_audio_buffer.commit"_s }));
        EXPECT_EQ(received, pcm);
        Golden::expectJson(QJsonDocument(messages.value(0)).toJson(), Golden::read(u"openai/golden/session.json"_s),
            { { u"KEYWORDS"_s, '"' + keywords.mid(0, 100).join(u"\", \""_s).toUtf8() + '"' } });

        await(transcriber->disconnect());
        await(transcriber->appendAudio(QByteArray(10, 'x')));
        await(transcriber->commit());
        TestUtil::runFor(50ms);
        EXPECT_EQ(messages.size(), 5);
        EXPECT_EQ(heard, expected);
    }
}

// Addresses that cannot be reached or formed end connect() with a described error, in time.
TEST(RealtimeTranscriberTest, ConnectFailures)
{
    QTcpServer silent; // accepts, never completes the handshake
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    const std::pair<QString, QString> cases[] = {
        { u"http://127.0.0.1:%1"_s.arg(silent.serverPort()), u"Нет соединения с сервисом распознавания."_s },
        { u"not a url"_s, u"Некорректный адрес сервиса распознавания."_s },
    };
    for (const auto &[baseURL, expected] : cases) {
        QStringList heard;
        auto transcriber = makeTranscriber(heard, baseURL);
        transcriber->setConnectTimeout(300ms);
        EXPECT_EQ(outcomeOf(transcriber->connect(u"sk-test"_s, {}, {})), u"error:"_s + expected);
        EXPECT_TRUE(heard.isEmpty());
    }
}
