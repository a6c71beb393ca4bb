#include "services/openai/realtimetranscriber.h"
#include "services/openai/textpolisher.h"
#include "servicetestsupport.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Response = LoopbackHttpServer::Response;

namespace {

// What the callbacks reported ("partial:…", "final:…", "error:…" in arrival order) to this transcriber.
std::unique_ptr<RealtimeTranscriber> makeTranscriber(QStringList &heard, const QString &baseURL)
{
    const auto report
        = [&heard](const QString &kind) { return [&heard, kind](const QString &text) { heard.append(kind + text); }; };
    return std::make_unique<RealtimeTranscriber>(RealtimeTranscriberCallbacks { report(u"partial:"_s),
                                                     report(u"final:"_s), report(u"error:"_s), report(u"notice:"_s) },
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
            { u"partial:При"_s, u"partial:Привет"_s, u"final:Привет"_s } },
        { { delta.arg(u"При"_s), u"CLOSE"_s }, { u"partial:При"_s, u"error:Соединение с распознаванием прервано."_s } },
        { { u"not json"_s, uR"({"type":"conversation.item.input_audio_transcription.completed"})"_s },
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

// Addresses that cannot be reached or formed, servers that stall or drop the handshake, and a
// socket dropped while it connects: connect() ends with a described error, well within its time-out.
TEST(RealtimeTranscriberTest, ConnectFailures)
{
    QTcpServer silent, hangingUp; // the first accepts and never answers the upgrade, the second closes midway
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost) && hangingUp.listen(QHostAddress::LocalHost));
    QObject::connect(&hangingUp, &QTcpServer::newConnection, &hangingUp, [&] {
        QTcpSocket *client = hangingUp.nextPendingConnection();
        QObject::connect(
            client, &QTcpSocket::readyRead, client, [client] { client->write("HTTP/1.1 1"), client->close(); });
    });
    const QString noConnection = u"error:Нет соединения с сервисом распознавания."_s, at = u"http://127.0.0.1:%1"_s;
    const std::tuple<QString, QString, std::chrono::milliseconds, bool> rows[] = { // address, outcome, time-out, drop
        { at.arg(silent.serverPort()), noConnection, 300ms, false },
        { at.arg(hangingUp.serverPort()), noConnection, 20s, false },
        { at.arg(silent.serverPort()), noConnection, 20s, true }, // the socket goes while it connects
        { u"not a url"_s, u"error:Некорректный адрес сервиса распознавания."_s, 300ms, false }
    };
    for (const auto &[baseURL, expected, timeout, drop] : rows) {
        QStringList heard;
        auto transcriber = makeTranscriber(heard, baseURL);
        transcriber->setConnectTimeout(timeout);
        if (drop)
            QTimer::singleShot(50ms, transcriber.get(), [&] { transcriber->disconnect(); });
        QElapsedTimer elapsed;
        elapsed.start();
        EXPECT_EQ(outcomeOf(transcriber->connect(u"sk-test"_s, {}, {})), expected) << baseURL.toStdString();
        EXPECT_TRUE(elapsed.elapsed() < 5000 && heard.isEmpty());
    }
}

// The request for each quality and mode, and what the editor makes of each kind of answer, and of none.
TEST(TextPolisherTest, RequestAndResultForEachQualityModeAndAnswer)
{
    QStringList terms;
    for (int i = 0; i < 120; ++i)
        terms.append(u"t%1"_s.arg(i));
    using Quality = TextPolisher::Quality;
    const Response ok = Response::json(200, R"({"output":[{"content":[{"type":"output_text","text":"ok"}]}]})");
    const QString empty = u"error:Редактор текста вернул пустой ответ."_s;
    const struct {
        Response answer;
        Quality quality = Quality::fast;
        SmartMode mode = SmartMode::clean;
        QString context {};
        QStringList vocabulary {};
        QString golden {}, expected = u"ok"_s; // "error:": a transport failure in Qt's own words, never the key
    } rows[] = {
        { ok, Quality::fast, SmartMode::clean, {}, {}, u"fast-clean"_s },
        { ok, Quality::accurate, SmartMode::structured, u" Врач "_s, terms, u"accurate-structured"_s },
        { ok, Quality::maximum, SmartMode::clean, u"ИТ"_s, { u"Qt"_s }, u"maximum-clean"_s },
        { ok, Quality::fast, SmartMode::verbatim, {}, {}, {}, u"сырой текст"_s }, // as it is, without a request
        { .answer = Response::json(200,
              R"({"output":[{"type":"reasoning"},{"type":"message","content":[{"type":"x"},)"
              R"({"type":"output_text","text":"\n Готово. \n"},{"type":"output_text","text":"B"}]}]})"),
            .expected = u"Готово."_s },
        { .answer = Response::json(200, R"({"output":[{"content":[{"type":"output_text","text":" \n\t"}]}]})"),
            .expected = empty },
        { .answer = Response::json(401, R"({"error":{"message":"Incorrect API key"}})"),
            .expected = u"error:Incorrect API key"_s },
        { .answer = Response::json(500, "<html>oops</html>"), .expected = u"error:HTTP 500"_s },
        { .answer = Response::neverAnswering(), .expected = u"error:"_s },
    };
    for (const auto &row : rows) {
        LoopbackHttpServer server;
        ASSERT_TRUE(server.listen());
        server.enqueue(row.answer);
        OpenAITextPolisher polisher(OpenAIConfiguration(server.baseUrl().toString()));
        polisher.overrideTimeout(500ms);
        const QString result = outcomeOf(
            polisher.polish(u"сырой текст"_s, row.mode, row.quality, row.context, row.vocabulary, u"sk-secret"_s));
        EXPECT_TRUE(row.expected == u"error:"
                ? result.startsWith(row.expected) && result.size() > 6 && !result.contains(u"sk-secret")
                : result == row.expected)
            << result.toStdString();
        EXPECT_EQ(server.requestCount() == 0, row.mode == SmartMode::verbatim);
        if (!row.golden.isEmpty())
            Golden::expectRequest(server.requests().value(0), u"openai/golden/%1.http"_s.arg(row.golden),
                { { u"TERMS"_s, terms.mid(0, 100).join(u", "_s).toUtf8() } });
    }
    OpenAITextPolisher unreachable(OpenAIConfiguration(u"api.openai.com"_s));
    EXPECT_EQ(outcomeOf(unreachable.polish(u"x"_s, SmartMode::clean, Quality::fast, {}, {}, u"k"_s)),
        u"error:Некорректный адрес редактора текста."_s);
}
