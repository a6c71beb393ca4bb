#include "audio/wavencoder.h"
#include "core/appsettings.h"
#include "services/vorsik/vorsikapiclient.h"
#include "servicetestsupport.h"

#include <QTimer>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Response = LoopbackHttpServer::Response;

namespace {

const QString network = u"error:Не удалось подключиться к серверу Ворсика: "_s;
const QString invalid = u"error:Сервер Ворсика вернул некорректный ответ."_s;
const QByteArray somePCM("\x01\x00\xff\x7f\x00\x80", 6);

QString dictate(VorsikAPIClient &client, QByteArray pcm = somePCM, SmartMode mode = SmartMode::clean,
    QString context = u"Письма коллегам"_s, QStringList vocabulary = { u"ChatGPT"_s })
{
    return outcomeOf(client.transcribeAndEdit(std::move(pcm), mode, std::move(context), std::move(vocabulary)));
}

std::optional<QString> storedToken() { return AppSettings::string(AppSettings::Keys::installationToken); }
Response token(const QByteArray &token) { return Response::json(200, R"({"installation_token":")" + token + R"("})"); }
VorsikAPIConfiguration configuration(const QUrl &base)
{
    return VorsikAPIConfiguration({ base.toString() + u"/backend"_s, u"1.2"_s, u"34"_s });
}

} // namespace

TEST(VorsikAPIClientTest, RegistrationAndUploadGoOutAsTheBackendExpects)
{
    TestUtil::clearSettings();
    AppSettings::setString(AppSettings::Keys::deviceID, u"0b7ac4e2-59f3-4d1c-9c6e-2f1a8d3b7e10"_s);
    LoopbackHttpServer server;
    ASSERT_TRUE(server.listen());
    server.enqueue(token("tok-1"));
    server.enqueue(Response::json(200, R"({"text":"Готово"})"));
    VorsikAPIClient client(configuration(server.baseUrl()));
    EXPECT_EQ(dictate(client, somePCM, SmartMode::structured, u"Пишу «письма» коллегам"_s,
                  { u"ChatGPT"_s, u"Ворсик"_s, u"say \"hi\""_s }),
        u"Готово"_s);
    ASSERT_EQ(server.requestCount(), 2);
    Golden::expectRequest(server.requests()[0], u"vorsik/golden/registration.http"_s);
    Golden::expectRequest(server.requests()[1], u"vorsik/golden/upload.http"_s,
        { { u"WAV"_s, WAVEncoder::encodePCM16Mono24kHz(somePCM) } });
    EXPECT_EQ(storedToken(), u"tok-1"_s);
}

// Empty audio fails before any traffic, silence is still a recording, and
// destroying the client ends a call in flight; none of it reaches a server unasked.
TEST(VorsikAPIClientTest, EmptyAudioUnconfiguredAndDestroyedClientsEndTheCall)
{
    AppSettings::setString(AppSettings::Keys::installationToken, u"t"_s);
    LoopbackHttpServer server;
    ASSERT_TRUE(server.listen());
    VorsikAPIClient silent(configuration(server.baseUrl()));
    EXPECT_EQ(dictate(silent, QByteArray()), u"error:Запись получилась пустой."_s);
    VorsikAPIClient unconfigured(VorsikAPIConfiguration({ QString(), u"1"_s, u"1"_s }));
    EXPECT_EQ(dictate(unconfigured, QByteArray(4800, '\0')),
        u"error:Российский контур Ворсика ещё не настроен в этой сборке."_s);
    TestUtil::runFor(50ms);
    EXPECT_EQ(server.connectionCount(), 0);

    server.enqueue(Response::neverAnswering());
    auto client = std::make_unique<VorsikAPIClient>(configuration(server.baseUrl()));
    QTimer::singleShot(500ms, &server, [&client] { client.reset(); });
    EXPECT_TRUE(dictate(*client).startsWith(network));
}

// Every way a dictation can end: the paths asked for (I: installations, D: dictations), the
// result and the token kept.
TEST(VorsikAPIClientTest, EveryExchangeEndsAsScripted)
{
    struct Exchange {
        std::optional<QString> cachedToken;
        std::vector<Response> answers; // a failing transfer answers every request alike
        QString paths, expected;
        std::optional<QString> storedToken;
    };
    const auto registration = [](Response answer, const QString &expected) {
        return Exchange { {}, { std::move(answer) }, u"I"_s, expected, {} };
    };
    const auto upload = [](Response answer, const QString &expected) {
        return Exchange { u"t"_s, { std::move(answer) }, u"D"_s, expected, u"t"_s };
    };
    const Response ok = Response::json(200, R"({"text":"ok"})");
    std::vector<Exchange> rows = {
        { u""_s, { token("fresh"), ok }, u"ID"_s, u"ok"_s, u"fresh"_s },
        { u"kept"_s, { ok }, u"D"_s, u"ok"_s, u"kept"_s },
        upload(Response::json(200, R"({"text":"  \t Привет, мир.\n"})"), u"Привет, мир."_s),
        registration(token(""), invalid), registration(Response::json(200, R"({"installation_token":42})"), invalid),
        registration(token(R"(a\r\nX-Evil: 1)"), invalid),
        registration(Response::json(503, "busy"), u"error:Ошибка регистрации 503"_s),
        registration(Response::json(403, R"({"detail":"Устройство заблокировано ECHO-CANARY"})"),
            u"error:Устройство заблокировано ECHO-CANARY"_s),
        registration(Response::json(401, ""), u"error:Ошибка регистрации 401"_s),
        upload(Response::json(429, R"({"detail":"Слишком много запросов"})"), u"error:Слишком много запросов"_s),
        upload(Response::json(429, R"({"detail":[{"msg":"x"}]})"), u"error:Ошибка сервера 429"_s),
        upload(Response::json(200, R"({"text":" \n\t "})"), invalid),
        // 401 on an upload: register again and retry once.
        { u"old"_s, { Response::json(401, R"({"detail":"expired"})"), token("new"), ok }, u"DID"_s, u"ok"_s, u"new"_s },
        { u"old"_s, { Response::json(401, "{}"), token("new"), Response::json(401, "{}") }, u"DID"_s,
            u"error:Установка Ворсика не авторизована."_s, u"new"_s },
        { u"old"_s, { Response::json(401, "{}"), Response::json(500, "") }, u"DI"_s, u"error:Ошибка регистрации 500"_s,
            {} },
        { {}, { token("a"), Response::json(401, ""), token("b"), ok }, u"IDID"_s, u"ok"_s, u"b"_s },
        { {}, {}, {}, network + u"Connection refused"_s, {} }, // nobody listens
    };
    // Bodies the client must survive, as a registration and as an upload answer, good and bad status.
    for (const QByteArray &body : { QByteArray(), QByteArray(10 << 20, 'x'),
             QByteArray(R"({"text":["x"],"installation_token":{"v":"y"},"detail":7})") }) {
        rows.push_back(registration(Response::json(200, body), invalid));
        rows.push_back(registration(Response::json(500, body), u"error:Ошибка регистрации 500"_s));
        rows.push_back(upload(Response::json(200, body), invalid));
        rows.push_back(upload(Response::json(502, body), u"error:Ошибка сервера 502"_s));
    }
    // Transfers that fail are not retried (an empty text: any description after the prefix).
    const std::pair<Response, QString> failures[] = {
        { Response::neverAnswering(), u"Socket operation timed out"_s },
        { Response::closing(), u"Connection closed"_s },
        { Response::rawBytes("HTTP/1.1 200 OK\r\nContent-Length: 400\r\n\r\n{\"text\":\"Прив"), {} },
    };
    for (const auto &[answer, description] : failures) {
        rows.push_back(registration(answer, network + description));
        rows.push_back(upload(answer, network + description));
    }

    for (const Exchange &row : rows) {
        SCOPED_TRACE(row.expected.left(80).toStdString() + " after " + row.paths.toStdString());
        TestUtil::clearSettings();
        if (row.cachedToken)
            AppSettings::setString(AppSettings::Keys::installationToken, *row.cachedToken);
        LoopbackHttpServer server;
        ASSERT_TRUE(server.listen());
        const bool failing = row.expected.startsWith(network);
        for (const Response &answer : row.answers)
            failing ? server.setHandler([answer](const auto &) { return answer; }) : server.enqueue(answer);
        VorsikAPIClient client(configuration(row.answers.empty() ? QUrl(u"http://127.0.0.1:1"_s) : server.baseUrl()));
        if (failing)
            client.setTimeouts(400ms, 30s);
        const QString result = dictate(client);

        EXPECT_TRUE(row.expected == network ? result.startsWith(network) && result.size() > network.size()
                                            : result == row.expected)
            << result.toStdString();
        // Qt may resend a bodiless registration on a connection that closed unanswered; never an upload.
        QString paths;
        QList<LoopbackHttpServer::Request> uploads;
        for (const auto &request : server.requests()) {
            const QChar path = request.target.endsWith("installations") ? u'I' : u'D';
            if (!failing || path == u'D' || !paths.endsWith(path))
                paths += path;
            if (path == u'D')
                uploads.append(request);
        }
        EXPECT_EQ(paths, row.paths);
        EXPECT_EQ(storedToken(), row.storedToken);
        // A repeated upload resends the very same body; the one that succeeded used the stored token.
        for (const auto &request : uploads)
            EXPECT_TRUE(
                request.body == uploads[0].body && request.header("Content-Type") == uploads[0].header("Content-Type"));
        EXPECT_TRUE(result.startsWith(u"error:") || uploads.last().header("X-Vorsik-Key") == row.storedToken->toUtf8());
    }
}
