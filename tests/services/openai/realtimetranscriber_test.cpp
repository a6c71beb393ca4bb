#include "realtimetranscriber.h"
#include "servicetestsupport.h"

#include <QJsonObject>
#include <QTcpServer>
#include <QWebSocket>
#include <QWebSocketServer>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// A real web-socket server on 127.0.0.1 standing in for the realtime service. It records
// every text message and the handshake request; `onMessage` scripts its answers.
class LoopbackWebSocketServer : public QObject {
public:
    LoopbackWebSocketServer()
        : m_server(QStringLiteral("loopback"), QWebSocketServer::NonSecureMode)
    {
        m_server.listen(QHostAddress::LocalHost);
        QObject::connect(&m_server, &QWebSocketServer::newConnection, this, [this] {
            client = m_server.nextPendingConnection();
            client->setParent(this); // the server hands its sockets over unowned
            handshake = client->request();
            QObject::connect(client, &QWebSocket::textMessageReceived, this, [this](const QString &text) {
                const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
                messages.append(message);
                if (onMessage && client)
                    onMessage(*client, message);
            });
        });
    }

    QString baseURL() const { return QStringLiteral("http://127.0.0.1:") + QString::number(m_server.serverPort()); }

    std::function<void(QWebSocket &client, const QJsonObject &message)> onMessage;
    QPointer<QWebSocket> client;
    QNetworkRequest handshake;
    QList<QJsonObject> messages;

private:
    QWebSocketServer m_server;
};

// What the callbacks reported: "partial:…", "final:…", "error:…" in arrival order.
using Heard = QStringList;

std::unique_ptr<RealtimeTranscriber> makeTranscriber(Heard &heard, const QString &baseURL)
{
    RealtimeTranscriberCallbacks callbacks;
    callbacks.onPartial = [&heard](const QString &text) { heard.append(u"partial:"_s + text); };
    callbacks.onFinal = [&heard](const QString &text) { heard.append(u"final:"_s + text); };
    callbacks.onError = [&heard](const QString &text) { heard.append(u"error:"_s + text); };
    return std::make_unique<RealtimeTranscriber>(callbacks, OpenAIConfiguration(baseURL));
}

void await(QCoro::Task<void> task) { EXPECT_EQ(outcomeOf(std::move(task)), QString()); }

} // namespace

// One dictation through a real socket: what the service receives, and what the
// controller hears for each way the service may end the exchange.
TEST(RealtimeTranscriberTest, WholeDictationOverALoopbackSocket)
{
    struct Case {
        const char *name;
        QStringList serverEvents; // sent on commit; "CLOSE" closes the socket there
        QStringList expected;
    };
    const QString delta = uR"({"type":"conversation.item.input_audio_transcription.delta","delta":"%1"})"_s;
    const QString done = uR"({"type":"conversation.item.input_audio_transcription.completed","transcript":"%1"})"_s;
    const QList<Case> cases {
        { "close after final", { delta.arg(u"При"_s), delta.arg(u"вет"_s), done.arg(u"Привет"_s), u"CLOSE"_s },
            { u"partial:При"_s, u"partial:вет"_s, u"final:Привет"_s } },
        { "close before final", { delta.arg(u"При"_s), u"CLOSE"_s },
            { u"partial:При"_s, u"error:Соединение с распознаванием прервано."_s } },
        { "ignored events",
            { u"not json"_s, u"[1]"_s, uR"({"type":7})"_s, uR"({"type":"session.updated"})"_s,
                uR"({"type":"conversation.item.input_audio_transcription.delta","delta":5})"_s,
                uR"({"type":"conversation.item.input_audio_transcription.completed"})"_s },
            { u"final:"_s } },
        { "error events",
            { uR"({"type":"error","error":{"message":"Invalid key"}})"_s, uR"({"type":"error","error":"x"})"_s },
            { u"error:Invalid key"_s, u"error:Ошибка OpenAI API."_s } },
    };
    QStringList keywords;
    for (int i = 0; i < 150; ++i)
        keywords.append(u"term%1"_s.arg(i));

    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackWebSocketServer server;
        server.onMessage = [&](QWebSocket &client, const QJsonObject &message) {
            if (message.value(u"type").toString() != u"input_audio_buffer.commit")
                return;
            for (const QString &event : c.serverEvents) {
                if (event == u"CLOSE")
                    client.close();
                else
                    client.sendBinaryMessage(event.toUtf8()); // binary frames are JSON too
            }
        };
        Heard heard;
        auto transcriber = makeTranscriber(heard, server.baseURL());
        await(transcriber->connect(u"sk-test"_s, u"Совещание"_s, keywords));
        QByteArray pcm;
        for (char sample = 1; sample <= 3; ++sample) {
            const QByteArray chunk(4800, sample);
            await(transcriber->appendAudio(chunk));
            pcm += chunk;
        }
        await(transcriber->commit());
        ASSERT_TRUE(TestUtil::runUntil([&] { return heard.size() >= c.expected.size(); }, 5s));
        TestUtil::runUntil([] { return false; }, 100ms); // room for an unwanted extra callback
        EXPECT_EQ(heard, c.expected);

        EXPECT_EQ(server.handshake.url().toString(QUrl::RemoveAuthority | QUrl::RemoveScheme),
            u"/v1/realtime?intent=transcription"_s);
        EXPECT_EQ(server.handshake.rawHeader("Authorization"), "Bearer sk-test");
        QStringList types;
        QByteArray received;
        for (const QJsonObject &message : server.messages) {
            types.append(message[u"type"_s].toString());
            received += QByteArray::fromBase64(
                message[u"audio"_s].toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        }
        EXPECT_EQ(types,
            (QStringList { u"session.update"_s, u"input_audio_buffer.append"_s, u"input_audio_buffer.append"_s,
                u"input_audio_buffer.append"_s, u"input_audio_buffer.commit"_s }));
        EXPECT_EQ(received, pcm);
        Golden::expectJson(QJsonDocument(server.messages.value(0)).toJson(),
            Golden::read(u"openai/golden/session.json"_s),
            { { u"KEYWORDS"_s, '"' + keywords.mid(0, 100).join(u"\", \""_s).toUtf8() + '"' } });

        await(transcriber->disconnect());
        await(transcriber->appendAudio(QByteArray(10, 'x')));
        await(transcriber->commit());
        TestUtil::runUntil([] { return false; }, 50ms);
        EXPECT_EQ(server.messages.size(), 5);
        EXPECT_EQ(heard, c.expected);
    }
}

// Addresses that cannot be reached or formed end connect() with a described error, in time.
TEST(RealtimeTranscriberTest, ConnectFailures)
{
    QTcpServer silent; // accepts, never completes the handshake
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    const QList<QPair<QString, QString>> cases {
        { u"http://127.0.0.1:%1"_s.arg(silent.serverPort()), u"Нет соединения с сервисом распознавания."_s },
        { u"not a url"_s, u"Некорректный адрес сервиса распознавания."_s },
    };
    for (const auto &[baseURL, expected] : cases) {
        SCOPED_TRACE(baseURL.toStdString());
        Heard heard;
        auto transcriber = makeTranscriber(heard, baseURL);
        transcriber->setConnectTimeout(300ms);
        EXPECT_EQ(outcomeOf(transcriber->connect(u"sk-test"_s, {}, {})), u"error:"_s + expected);
        EXPECT_TRUE(heard.isEmpty());
    }
}
