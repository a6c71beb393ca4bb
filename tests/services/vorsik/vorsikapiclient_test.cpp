#include "appsettings.h"
#include "gigachattestsupport.h"
#include "loopbackhttpserver.h"
#include "testutil.h"
#include "vorsikapiclient.h"
#include "vorsikapierror.h"

#include <QNetworkReply>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSslConfiguration>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using namespace std::string_literals;

using Case = VorsikAPIError::Case;
using Response = LoopbackHttpServer::Response;

namespace {

const QString networkPrefix = u"Не удалось подключиться к серверу Ворсика: "_s;
const QString invalidResponseText = u"Сервер Ворсика вернул некорректный ответ."_s;
const QByteArray somePCM("\x01\x00\xff\x7f\x00\x80", 6);
const QString installations = u"/backend/v1/installations"_s;
const QString dictations = u"/backend/v1/dictations"_s;

struct Outcome {
    bool done = false;
    std::optional<QString> text;
    std::optional<Case> errorCase;
    QString description;
};

QCoro::Task<> capture(QCoro::Task<QString> task, std::shared_ptr<Outcome> out)
{
    try {
        out->text = co_await std::move(task);
    } catch (const VorsikAPIError &error) {
        out->errorCase = error.errorCase();
        out->description = error.description();
    } catch (const DescribedError &error) {
        out->description = error.description();
    }
    out->done = true;
}

std::shared_ptr<Outcome> start(VorsikAPIClient &client, QByteArray pcm = somePCM, SmartMode mode = SmartMode::clean,
    QString context = u"Письма коллегам"_s, QStringList vocabulary = { u"ChatGPT"_s })
{
    auto out = std::make_shared<Outcome>();
    capture(client.transcribeAndEdit(std::move(pcm), mode, std::move(context), std::move(vocabulary)), out);
    return out;
}

Outcome finish(const std::shared_ptr<Outcome> &out)
{
    EXPECT_TRUE(TestUtil::runUntil([&] { return out->done; }, 60s)) << "the call never ended";
    return *out;
}

std::optional<QString> storedToken() { return AppSettings::string(AppSettings::Keys::installationToken); }

QByteArray tokenAnswer(const QByteArray &token) { return R"({"installation_token":")" + token + R"("})"; }

class VorsikAPIClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestUtil::clearSettings();
        ASSERT_TRUE(server.listen());
    }

    VorsikAPIConfiguration configuration(const LoopbackHttpServer &target) const
    {
        return VorsikAPIConfiguration({ target.url(u"/backend"_s).toString(), u"1.2"_s, u"34"_s });
    }

    // With `collapseRegistrations`, a registration repeated back to back counts once.
    QStringList paths(bool collapseRegistrations) const
    {
        QStringList result;
        for (const auto &request : server.requests()) {
            const QString path = QString::fromUtf8(request.path);
            if (!collapseRegistrations || path != installations || result.isEmpty() || result.last() != path)
                result.append(path);
        }
        return result;
    }

    LoopbackHttpServer server;
};

} // namespace

TEST_F(VorsikAPIClientTest, RegistrationAndUploadGoOutByteForByte)
{
    AppSettings::setString(AppSettings::Keys::deviceID, u"0b7ac4e2-59f3-4d1c-9c6e-2f1a8d3b7e10"_s);
    server.enqueue(Response::json(200, tokenAnswer("tok-1")));
    server.enqueue(Response::json(200, R"({"text":"Готово"})"));
    VorsikAPIClient client(configuration(server));

    const QString context = u"Пишу «письма»\nколлегам"_s;
    const Outcome outcome = finish(
        start(client, somePCM, SmartMode::structured, context, { u"ChatGPT"_s, u"Ворсик"_s, u"say \"hi\""_s }));
    ASSERT_EQ(outcome.text, u"Готово"_s) << outcome.description.toStdString();
    ASSERT_EQ(server.requestCount(), 2);

    // Host comes first and the last four headers are Qt's own; everything the client
    // chooses sits in between, in its order.
    const QByteArray host = "Host: 127.0.0.1:" + QByteArray::number(server.port()) + "\r\n";
    const QByteArray language = server.requests().at(0).header("Accept-Language").value_or(QByteArray());
    ASSERT_FALSE(language.isEmpty());
    const QByteArray qtHeaders = "Connection: Keep-Alive\r\n"
                                 "Accept-Encoding: zstd, br, gzip, deflate\r\n"
                                 "Accept-Language: "
        + language
        + "\r\n"
          "User-Agent: Mozilla/5.0\r\n\r\n";

    EXPECT_EQ(server.requests().at(0).raw.toStdString(),
        ("POST /backend/v1/installations HTTP/1.1\r\n" + host
            + "Accept: application/json\r\n"
              "X-Device-ID: 0b7ac4e2-59f3-4d1c-9c6e-2f1a8d3b7e10\r\n"
              "X-App-Version: macOS-1.2-34\r\n"
              "Content-Length: 0\r\n"
            + qtHeaders)
            .toStdString());

    const LoopbackHttpServer::Request &upload = server.requests().at(1);
    const QByteArray contentType = upload.header("Content-Type").value_or(QByteArray());
    const QRegularExpression shape(u"^multipart/form-data; boundary=(Vorsik-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-"
                                   "[0-9A-F]{4}-[0-9A-F]{12})$"_s);
    const QRegularExpressionMatch match = shape.match(QString::fromLatin1(contentType));
    ASSERT_TRUE(match.hasMatch()) << contentType.toStdString();
    const QByteArray boundary = match.captured(1).toLatin1();

    const QByteArray wav = QByteArray("RIFF\x2a\x00\x00\x00WAVEfmt \x10\x00\x00\x00\x01\x00\x01\x00"
                                      "\xc0\x5d\x00\x00\x80\xbb\x00\x00\x02\x00\x10\x00"
                                      "data\x06\x00\x00\x00",
                               44)
        + somePCM;
    const QByteArray body = "--" + boundary
        + "\r\n"
          "Content-Disposition: form-data; name=\"audio\"; filename=\"dictation.wav\"\r\n"
          "Content-Type: audio/wav\r\n\r\n"
        + wav
        + "\r\n"
          "--"
        + boundary
        + "\r\n"
          "Content-Disposition: form-data; name=\"mode\"\r\n\r\n"
          "structured\r\n"
          "--"
        + boundary
        + "\r\n"
          "Content-Disposition: form-data; name=\"context\"\r\n\r\n"
        + context.toUtf8()
        + "\r\n"
          "--"
        + boundary
        + "\r\n"
          "Content-Disposition: form-data; name=\"vocabulary\"\r\n\r\n"
        + u"[\"ChatGPT\",\"Ворсик\",\"say \\\"hi\\\"\"]"_s.toUtf8()
        + "\r\n"
          "--"
        + boundary + "--\r\n";
    EXPECT_EQ(upload.raw.toStdString(),
        ("POST /backend/v1/dictations HTTP/1.1\r\n" + host + "Content-Type: " + contentType + "\r\n"
            + "Accept: application/json\r\n"
              "X-Vorsik-Key: tok-1\r\n"
              "X-Device-ID: 0b7ac4e2-59f3-4d1c-9c6e-2f1a8d3b7e10\r\n"
              "X-App-Version: macOS-1.2-34\r\n"
              "Content-Length: "
            + QByteArray::number(body.size()) + "\r\n" + qtHeaders + body)
            .toStdString());
    EXPECT_EQ(storedToken(), u"tok-1"_s);
}

TEST_F(VorsikAPIClientTest, EmptyAudioFailsBeforeTheConfigurationCheckAndBeforeAnyTraffic)
{
    for (const QString &base : { QString(), server.baseUrl().toString() }) {
        VorsikAPIClient client(VorsikAPIConfiguration({ base, u"1"_s, u"1"_s }));
        const Outcome outcome = finish(start(client, QByteArray()));
        EXPECT_EQ(outcome.errorCase, Case::emptyAudio);
        EXPECT_EQ(outcome.description, u"Запись получилась пустой."_s);
    }
    VorsikAPIClient unconfigured(VorsikAPIConfiguration({ QString(), u"1"_s, u"1"_s }));
    const Outcome outcome = finish(start(unconfigured, QByteArray(4800, '\0'))); // silence is still a recording
    EXPECT_EQ(outcome.errorCase, Case::notConfigured);
    EXPECT_EQ(outcome.description, u"Российский контур Ворсика ещё не настроен в этой сборке."_s);
    TestUtil::runFor(50ms);
    EXPECT_EQ(server.connectionCount(), 0);
}

TEST_F(VorsikAPIClientTest, DestroyingTheClientEndsACallInFlight)
{
    AppSettings::setString(AppSettings::Keys::installationToken, u"t"_s);
    server.enqueue(Response::neverAnswering());
    auto client = std::make_unique<VorsikAPIClient>(configuration(server));
    const auto out = start(*client);
    ASSERT_TRUE(TestUtil::runUntil([&] { return server.requestCount() == 1; }, 30s));
    client.reset();
    EXPECT_EQ(finish(out).errorCase, Case::network);
}

// ---- every way a dictation can end ---------------------------------------------

namespace {

struct Exchange {
    std::string name;
    std::optional<QString> cachedToken;
    // Answered in order. A network-failure row answers every request with its one answer;
    // a row without answers points the client at a port nobody listens on.
    std::vector<Response> answers;
    QStringList expectedPaths;
    std::optional<QString> expectedText;
    std::optional<Case> expectedError;
    QString expectedDescription; // empty for a network error: any text after the prefix
    std::optional<QString> expectedStoredToken;
};

void PrintTo(const Exchange &row, std::ostream *out) { *out << row.name; }

std::vector<Exchange> exchanges()
{
    using Failure = std::pair<Case, QString>;
    const Failure invalid { Case::invalidResponse, invalidResponseText };
    const auto server = [](const QString &description) { return Failure { Case::server, description }; };
    // A first dictation that fails at its registration; a registered one that fails at its upload.
    const auto atRegistration = [](std::string name, Response answer, const Failure &failure) {
        return Exchange { std::move(name), {}, { std::move(answer) }, { installations }, {}, failure.first,
            failure.second, {} };
    };
    const auto atUpload = [](std::string name, Response answer, const Failure &failure) {
        return Exchange { std::move(name), u"t"_s, { std::move(answer) }, { dictations }, {}, failure.first,
            failure.second, u"t"_s };
    };
    const Response ok = Response::json(200, R"({"text":"ok"})");
    std::vector<Exchange> rows = {
        { "CachedEmptyTokenRegisters", u""_s, { Response::json(200, tokenAnswer("fresh")), ok },
            { installations, dictations }, u"ok"_s, {}, {}, u"fresh"_s },
        { "CachedTokenIsUsed", u"kept"_s, { ok }, { dictations }, u"ok"_s, {}, {}, u"kept"_s },
        { "TextIsTrimmed", u"t"_s, { Response::json(200, R"({"text":"  \t Привет, мир.\n"})") }, { dictations },
            u"Привет, мир."_s, {}, {}, u"t"_s },
        atRegistration("EmptyRegistrationToken", Response::json(200, tokenAnswer("")), invalid),
        atRegistration("NumericRegistrationToken", Response::json(200, R"({"installation_token":42})"), invalid),
        atRegistration("MissingRegistrationToken", Response::json(201, R"({"token":"x"})"), invalid),
        atRegistration("TokenThatWouldSplitAHeader", Response::json(200, tokenAnswer(R"(a\r\nX-Evil: 1)")), invalid),
        atRegistration(
            "RegistrationStatusWithoutDetail", Response::text(503, "busy"), server(u"Ошибка регистрации 503"_s)),
        atRegistration("RegistrationStatusWithDetail", Response::json(403, R"({"detail":"Устройство заблокировано"})"),
            server(u"Устройство заблокировано"_s)),
        atRegistration(
            "UnauthorizedRegistrationIsAServerError", Response::json(401, ""), server(u"Ошибка регистрации 401"_s)),
        atUpload("UploadStringDetail", Response::json(429, R"({"detail":"Слишком много запросов"})"),
            server(u"Слишком много запросов"_s)),
        atUpload(
            "UploadArrayDetail", Response::json(429, R"({"detail":[{"msg":"x"}]})"), server(u"Ошибка сервера 429"_s)),
        atUpload("UploadBlankDetail", Response::json(500, R"({"detail":"  "})"), server(u"Ошибка сервера 500"_s)),
        atUpload("UploadNonJSONError", Response::text(429, "<html>slow down</html>"), server(u"Ошибка сервера 429"_s)),
        atUpload("BlankText", Response::json(200, R"({"text":" \n\t "})"), invalid),
        { "UnauthorizedThenReRegistered", u"old"_s,
            { Response::json(401, R"({"detail":"expired"})"), Response::json(200, tokenAnswer("new")), ok },
            { dictations, installations, dictations }, u"ok"_s, {}, {}, u"new"_s },
        { "UnauthorizedTwice", u"old"_s,
            { Response::json(401, "{}"), Response::json(200, tokenAnswer("new")), Response::json(401, "{}") },
            { dictations, installations, dictations }, {}, Case::unauthorized, u"Установка Ворсика не авторизована."_s,
            u"new"_s },
        { "RegistrationFailsOnSecondAttempt", u"old"_s, { Response::json(401, "{}"), Response::text(500, "") },
            { dictations, installations }, {}, Case::server, u"Ошибка регистрации 500"_s, {} },
        { "FreshRegistrationRejectedThenRenewed", {},
            { Response::json(200, tokenAnswer("a")), Response::json(401, ""), Response::json(200, tokenAnswer("b")),
                ok },
            { installations, dictations, installations, dictations }, u"ok"_s, {}, {}, u"b"_s },
        { "RefusedConnection", {}, {}, {}, {}, Case::network, networkPrefix + u"Connection refused"_s, {} },
    };

    // Bodies the client must survive, as a registration and as an upload answer, good and bad status.
    const std::pair<const char *, QByteArray> badBodies[] = {
        { "Empty", QByteArray() },
        { "Binary", QByteArray("\x00\xff\xfe{\"text\x01", 9) },
        { "Huge", QByteArray(10 * 1024 * 1024, 'x') },
        { "HugeJSONWithoutMembers", "{\"padding\":\"" + QByteArray(10 * 1024 * 1024, 'a') + "\"}" },
        { "TruncatedJSON", R"({"text":"Привет","installation_token":"abc)" },
        { "TopLevelArray", R"([{"text":"x","installation_token":"y","detail":"z"}])" },
        { "WrongTypes", R"({"text":["x"],"installation_token":{"v":"y"},"detail":7})" },
        { "JSONNull", "null" },
    };
    for (const auto &[name, body] : badBodies) {
        const auto answer = [&body](int status) { return Response::text(status, body, "application/json"); };
        rows.push_back(atRegistration(name + "BodyOfRegistration"s, answer(200), invalid));
        rows.push_back(
            atRegistration(name + "BodyOfRegistrationError"s, answer(500), server(u"Ошибка регистрации 500"_s)));
        rows.push_back(atUpload(name + "BodyOfTranscript"s, answer(200), invalid));
        rows.push_back(atUpload(name + "BodyOfUploadError"s, answer(502), server(u"Ошибка сервера 502"_s)));
    }

    // Transfers that fail: neither a registration nor an upload is retried.
    const std::tuple<const char *, Response, QString> failures[] = {
        { "NeverAnswers", Response::neverAnswering(), networkPrefix + u"Socket operation timed out"_s },
        { "ClosesAtOnce", Response::closing(), networkPrefix + u"Connection closed"_s },
        { "TruncatedBody",
            Response::raw("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 400\r\n\r\n"
                          "{\"text\":\"Прив"),
            QString() },
        { "NotHTTP", Response::raw("SSH-2.0-OpenSSH_9.2\r\n"), QString() },
    };
    for (const auto &[name, answer, description] : failures) {
        rows.push_back(atRegistration(name + "DuringRegistration"s, answer, { Case::network, description }));
        rows.push_back(atUpload(name + "DuringUpload"s, answer, { Case::network, description }));
    }
    return rows;
}

class VorsikAPIExchangeTest : public VorsikAPIClientTest, public ::testing::WithParamInterface<Exchange> { };

} // namespace

TEST_P(VorsikAPIExchangeTest, EndsAsScripted)
{
    const Exchange &row = GetParam();
    const bool networkFailure = row.expectedError == Case::network;
    if (row.cachedToken)
        AppSettings::setString(AppSettings::Keys::installationToken, *row.cachedToken);
    VorsikAPIConfiguration target = configuration(server);
    if (row.answers.empty()) {
        LoopbackHttpServer closed;
        ASSERT_TRUE(closed.listen());
        target = configuration(closed);
    } else if (networkFailure) {
        server.setHandler([answer = row.answers.front()](const LoopbackHttpServer::Request &) { return answer; });
    } else {
        for (const Response &answer : row.answers)
            server.enqueue(answer);
    }
    VorsikAPIClient client(target);
    if (networkFailure)
        client.setTimeouts(400ms, 30s);

    const Outcome outcome = finish(start(client));

    EXPECT_EQ(outcome.text, row.expectedText);
    EXPECT_EQ(outcome.errorCase, row.expectedError);
    if (networkFailure && row.expectedDescription.isEmpty()) {
        EXPECT_TRUE(outcome.description.startsWith(networkPrefix) && outcome.description.size() > networkPrefix.size())
            << outcome.description.toStdString();
    } else if (row.expectedError) {
        EXPECT_EQ(outcome.description, row.expectedDescription);
    }
    // Qt may resend a bodiless registration on a connection that closed unanswered; never an upload.
    EXPECT_EQ(paths(networkFailure), row.expectedPaths);
    EXPECT_EQ(storedToken(), row.expectedStoredToken);
    EXPECT_EQ(server.pendingResponses(), 0);

    // A repeated upload resends the very same body; the one that succeeded used the stored token.
    QList<LoopbackHttpServer::Request> uploads;
    for (const auto &request : server.requests()) {
        if (request.path == dictations.toUtf8())
            uploads.append(request);
    }
    for (const auto &upload : uploads) {
        EXPECT_EQ(upload.body, uploads.front().body);
        EXPECT_EQ(upload.header("Content-Type"), uploads.front().header("Content-Type"));
    }
    if (row.expectedText) {
        EXPECT_EQ(uploads.last().header("X-Vorsik-Key"), row.expectedStoredToken->toUtf8());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, VorsikAPIExchangeTest, ::testing::ValuesIn(exchanges()), [](const auto &info) { return info.param.name; });

// After a warm-up the upload finds its connection and its token; a registration under
// way is awaited, not repeated; a warm-up that met no server changes nothing.
TEST_F(VorsikAPIClientTest, AfterAWarmUpEverythingTravelsOnOneTlsConnection)
{
    const TestCertificates &certificates = TestCertificates::shared();
    const QSslConfiguration untrusting = QSslConfiguration::defaultConfiguration();
    const auto restore = qScopeGuard([&] { QSslConfiguration::setDefaultConfiguration(untrusting); });
    QSslConfiguration trusting = untrusting;
    for (const QByteArray &der : { certificates.rootBase64, certificates.subBase64 })
        trusting.addCaCertificate(QSslCertificate(QByteArray::fromBase64(der), QSsl::Der));
    QSslConfiguration::setDefaultConfiguration(trusting);

    // Token cached; registration answered after (longer than the recording when set); server down at the press.
    const std::tuple<bool, std::chrono::milliseconds, bool> rows[]
        = { { false, 0ms, false }, { true, 0ms, false }, { false, 800ms, false }, { false, 0ms, true } };
    for (const auto &[cachedToken, registrationDelay, serverDown] : rows) {
        SCOPED_TRACE(testing::Message() << cachedToken << ' ' << registrationDelay.count() << ' ' << serverDown);
        TestUtil::clearSettings();
        LoopbackHttpServer tls;
        Response registration = Response::json(200, tokenAnswer("fresh"));
        registration.delay = registrationDelay;
        if (cachedToken)
            AppSettings::setString(AppSettings::Keys::installationToken, u"kept"_s);
        else
            tls.enqueue(registration);
        tls.enqueue(Response::json(200, R"({"text":"ok"})"));
        ASSERT_TRUE(tls.listen());
        const quint16 port = tls.port(); // the TLS server takes it over, at once or after the press
        const auto listen
            = [&](quint16 on) { return tls.listenTls(certificates.server, certificates.serverKey, {}, on); };
        ASSERT_TRUE(listen(serverDown ? 0 : port));
        VorsikAPIClient client(VorsikAPIConfiguration({ u"https://127.0.0.1:%1/b"_s.arg(port), u"1"_s, u"1"_s }));

        client.warmUp();
        const auto warm = [&] {
            return tls.connectionCount() == 1 && tls.requestCount() == (cachedToken ? 0 : 1)
                && (registrationDelay > 0ms || storedToken());
        };
        EXPECT_EQ(TestUtil::runUntil(warm, 1s), !serverDown) << "the server saw nothing while the user spoke";
        ASSERT_TRUE(!serverDown || listen(port));
        const Outcome outcome = finish(start(client));

        EXPECT_EQ(outcome.text, u"ok"_s) << outcome.description.toStdString();
        EXPECT_EQ(tls.requestCount(), cachedToken ? 1 : 2) << "a registration at most, then the upload";
        EXPECT_EQ(tls.requests().value(tls.requestCount() - 1).path, "/b/v1/dictations");
        EXPECT_EQ(tls.connectionCount(), 1) << tls.tlsErrors().join(u'\n').toStdString();
        EXPECT_TRUE(TestUtil::runUntil([&] { return client.findChildren<QNetworkReply *>().isEmpty(); })) << "a reply";
    }
}
