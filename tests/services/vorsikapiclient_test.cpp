#include "appsettings.h"
#include "loopbackhttpserver.h"
#include "testutil.h"
#include "vorsikapiclient.h"
#include "vorsikapierror.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

#include <vector>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

using Case = VorsikAPIError::Case;
using Response = LoopbackHttpServer::Response;

namespace {

const QString networkPrefix = u"Не удалось подключиться к серверу Ворсика: "_s;
const QString invalidResponseText = u"Сервер Ворсика вернул некорректный ответ."_s;
const QByteArray somePCM("\x01\x00\xff\x7f\x00\x80", 6);

struct Outcome
{
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
                               QString context = u"Письма коллегам"_s, QStringList vocabulary = {u"ChatGPT"_s})
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

std::optional<QString> storedToken()
{
    return AppSettings::string(AppSettings::Keys::installationToken);
}

QByteArray tokenAnswer(const QByteArray &token)
{
    return R"({"installation_token":")" + token + R"("})";
}

class VorsikAPIClientTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        TestUtil::clearSettings();
        ASSERT_TRUE(server.listen());
    }

    VorsikAPIConfiguration configuration() const
    {
        return VorsikAPIConfiguration({server.url(u"/backend"_s).toString(), u"1.2"_s, u"34"_s});
    }

    QStringList paths() const
    {
        QStringList result;
        for (const auto &request : server.requests())
            result.append(QString::fromUtf8(request.path));
        return result;
    }

    LoopbackHttpServer server;
};

const QString installations = u"/backend/v1/installations"_s;
const QString dictations = u"/backend/v1/dictations"_s;

} // namespace

TEST_F(VorsikAPIClientTest, RegistrationAndUploadGoOutByteForByte)
{
    AppSettings::setString(AppSettings::Keys::deviceID, u"0b7ac4e2-59f3-4d1c-9c6e-2f1a8d3b7e10"_s);
    server.enqueue(Response::json(200, tokenAnswer("tok-1")));
    server.enqueue(Response::json(200, R"({"text":"Готово"})"));
    VorsikAPIClient client(configuration());

    const Outcome outcome = finish(start(client, somePCM, SmartMode::structured, QString(), {}));
    ASSERT_EQ(outcome.text, u"Готово"_s) << outcome.description.toStdString();
    ASSERT_EQ(server.requestCount(), 2);

    // Host comes first and the last four headers are Qt's own; everything the client
    // chooses sits in between, in its order.
    const QByteArray host = "Host: 127.0.0.1:" + QByteArray::number(server.port()) + "\r\n";
    const QByteArray language = server.requests().at(0).header("Accept-Language").value_or(QByteArray());
    ASSERT_FALSE(language.isEmpty());
    const QByteArray qtHeaders = "Connection: Keep-Alive\r\n"
                                 "Accept-Encoding: zstd, br, gzip, deflate\r\n"
                                 "Accept-Language: " + language + "\r\n"
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
    const QByteArray body = "--" + boundary + "\r\n"
                            "Content-Disposition: form-data; name=\"audio\"; filename=\"dictation.wav\"\r\n"
                            "Content-Type: audio/wav\r\n\r\n" + wav + "\r\n"
                            "--" + boundary + "\r\n"
                            "Content-Disposition: form-data; name=\"mode\"\r\n\r\n"
                            "structured\r\n"
                            "--" + boundary + "\r\n"
                            "Content-Disposition: form-data; name=\"context\"\r\n\r\n"
                            "\r\n"
                            "--" + boundary + "\r\n"
                            "Content-Disposition: form-data; name=\"vocabulary\"\r\n\r\n"
                            "[]\r\n"
                            "--" + boundary + "--\r\n";
    EXPECT_EQ(upload.raw.toStdString(),
              ("POST /backend/v1/dictations HTTP/1.1\r\n" + host + "Content-Type: " + contentType + "\r\n"
               + "Accept: application/json\r\n"
                 "X-Vorsik-Key: tok-1\r\n"
                 "X-Device-ID: 0b7ac4e2-59f3-4d1c-9c6e-2f1a8d3b7e10\r\n"
                 "X-App-Version: macOS-1.2-34\r\n"
                 "Content-Length: " + QByteArray::number(body.size()) + "\r\n"
               + qtHeaders + body)
                  .toStdString());
    EXPECT_EQ(storedToken(), u"tok-1"_s);
}

TEST_F(VorsikAPIClientTest, TextPartsCarryModeContextAndVocabularyAsUTF8)
{
    AppSettings::setString(AppSettings::Keys::installationToken, u"cached"_s);
    server.enqueue(Response::json(200, R"({"text":"ok"})"));
    VorsikAPIClient client(configuration());

    finish(start(client, somePCM, SmartMode::verbatim, u"Пишу «письма»\nколлегам"_s,
                 {u"ChatGPT"_s, u"Ворсик"_s, u"say \"hi\""_s}));

    ASSERT_EQ(server.requestCount(), 1); // a cached token needs no registration
    const QByteArray body = server.requests().at(0).body;
    EXPECT_TRUE(body.contains("name=\"mode\"\r\n\r\nverbatim\r\n"));
    EXPECT_TRUE(body.contains("name=\"context\"\r\n\r\n" + u"Пишу «письма»\nколлегам"_s.toUtf8() + "\r\n"));
    EXPECT_TRUE(body.contains("name=\"vocabulary\"\r\n\r\n" + u"[\"ChatGPT\",\"Ворсик\",\"say \\\"hi\\\"\"]"_s.toUtf8()
                              + "\r\n"));
    EXPECT_EQ(server.requests().at(0).header("X-Vorsik-Key"), QByteArray("cached"));
}

TEST_F(VorsikAPIClientTest, EmptyAudioFailsBeforeTheConfigurationCheckAndBeforeAnyTraffic)
{
    for (const QString &base : {QString(), server.baseUrl().toString()}) {
        VorsikAPIClient client(VorsikAPIConfiguration({base, u"1"_s, u"1"_s}));
        const Outcome outcome = finish(start(client, QByteArray()));
        EXPECT_EQ(outcome.errorCase, Case::emptyAudio);
        EXPECT_EQ(outcome.description, u"Запись получилась пустой."_s);
    }
    VorsikAPIClient unconfigured(VorsikAPIConfiguration({QString(), u"1"_s, u"1"_s}));
    const Outcome outcome = finish(start(unconfigured, QByteArray(4800, '\0'))); // silence is still a recording
    EXPECT_EQ(outcome.errorCase, Case::notConfigured);
    EXPECT_EQ(outcome.description, u"Российский контур Ворсика ещё не настроен в этой сборке."_s);
    TestUtil::runFor(50ms);
    EXPECT_EQ(server.connectionCount(), 0);
}

// ---- scripted exchanges ------------------------------------------------------

struct Exchange
{
    const char *name;
    std::optional<QString> cachedToken;
    std::vector<Response> answers;
    QStringList expectedPaths;
    std::optional<QString> expectedText;
    std::optional<Case> expectedError;
    QString expectedDescription;
    std::optional<QString> expectedStoredToken;
};

void PrintTo(const Exchange &row, std::ostream *out) { *out << row.name; }

class VorsikAPIExchangeTest : public VorsikAPIClientTest, public ::testing::WithParamInterface<Exchange>
{
};

TEST_P(VorsikAPIExchangeTest, EndsAsScripted)
{
    const Exchange &row = GetParam();
    if (row.cachedToken)
        AppSettings::setString(AppSettings::Keys::installationToken, *row.cachedToken);
    for (const Response &answer : row.answers)
        server.enqueue(answer);
    VorsikAPIClient client(configuration());

    const Outcome outcome = finish(start(client));

    EXPECT_EQ(outcome.text, row.expectedText);
    EXPECT_EQ(outcome.errorCase, row.expectedError);
    if (row.expectedError) {
        EXPECT_EQ(outcome.description, row.expectedDescription);
    }
    EXPECT_EQ(paths(), row.expectedPaths);
    EXPECT_EQ(storedToken(), row.expectedStoredToken);
    EXPECT_EQ(server.pendingResponses(), 0);
}

const std::vector<Exchange> exchanges = {
    {"CachedEmptyTokenRegisters", u""_s,
     {Response::json(200, tokenAnswer("fresh")), Response::json(200, R"({"text":"ok"})")},
     {installations, dictations}, u"ok"_s, {}, {}, u"fresh"_s},
    {"CachedTokenIsUsed", u"kept"_s, {Response::json(200, R"({"text":"ok"})")}, {dictations}, u"ok"_s, {}, {},
     u"kept"_s},
    {"EmptyRegistrationToken", {}, {Response::json(200, tokenAnswer(""))}, {installations}, {},
     Case::invalidResponse, invalidResponseText, {}},
    {"NumericRegistrationToken", {}, {Response::json(200, R"({"installation_token":42})")}, {installations}, {},
     Case::invalidResponse, invalidResponseText, {}},
    {"MissingRegistrationToken", {}, {Response::json(201, R"({"token":"x"})")}, {installations}, {},
     Case::invalidResponse, invalidResponseText, {}},
    {"TokenThatWouldSplitAHeader", {}, {Response::json(200, tokenAnswer(R"(a\r\nX-Evil: 1)"))}, {installations}, {},
     Case::invalidResponse, invalidResponseText, {}},
    {"RegistrationStatusWithoutDetail", {}, {Response::text(503, "busy")}, {installations}, {}, Case::server,
     u"Ошибка регистрации 503"_s, {}},
    {"RegistrationStatusWithDetail", {}, {Response::json(403, R"({"detail":"Устройство заблокировано"})")},
     {installations}, {}, Case::server, u"Устройство заблокировано"_s, {}},
    {"UploadStringDetail", u"t"_s, {Response::json(429, R"({"detail":"Слишком много запросов"})")}, {dictations},
     {}, Case::server, u"Слишком много запросов"_s, u"t"_s},
    {"UploadArrayDetail", u"t"_s, {Response::json(429, R"({"detail":[{"msg":"x"}]})")}, {dictations}, {},
     Case::server, u"Ошибка сервера 429"_s, u"t"_s},
    {"UploadBlankDetail", u"t"_s, {Response::json(500, R"({"detail":"  "})")}, {dictations}, {}, Case::server,
     u"Ошибка сервера 500"_s, u"t"_s},
    {"UploadNonJSONError", u"t"_s, {Response::text(429, "<html>slow down</html>")}, {dictations}, {}, Case::server,
     u"Ошибка сервера 429"_s, u"t"_s},
    {"TextIsTrimmed", u"t"_s, {Response::json(200, R"({"text":"  \t Привет, мир.\n"})")}, {dictations},
     u"Привет, мир."_s, {}, {}, u"t"_s},
    {"BlankText", u"t"_s, {Response::json(200, R"({"text":" \n\t "})")}, {dictations}, {}, Case::invalidResponse,
     invalidResponseText, u"t"_s},
    {"UnauthorizedThenReRegistered", u"old"_s,
     {Response::json(401, R"({"detail":"expired"})"), Response::json(200, tokenAnswer("new")),
      Response::json(200, R"({"text":"ok"})")},
     {dictations, installations, dictations}, u"ok"_s, {}, {}, u"new"_s},
    {"UnauthorizedTwice", u"old"_s,
     {Response::json(401, "{}"), Response::json(200, tokenAnswer("new")), Response::json(401, "{}")},
     {dictations, installations, dictations}, {}, Case::unauthorized, u"Установка Ворсика не авторизована."_s,
     u"new"_s},
    {"RegistrationFailsOnSecondAttempt", u"old"_s, {Response::json(401, "{}"), Response::text(500, "")},
     {dictations, installations}, {}, Case::server, u"Ошибка регистрации 500"_s, {}},
    {"FreshRegistrationRejectedThenRenewed", {},
     {Response::json(200, tokenAnswer("a")), Response::json(401, ""), Response::json(200, tokenAnswer("b")),
      Response::json(200, R"({"text":"ok"})")},
     {installations, dictations, installations, dictations}, u"ok"_s, {}, {}, u"b"_s},
    {"UnauthorizedRegistrationIsAServerError", {}, {Response::json(401, "")}, {installations}, {}, Case::server,
     u"Ошибка регистрации 401"_s, {}},
};

INSTANTIATE_TEST_SUITE_P(Table, VorsikAPIExchangeTest, ::testing::ValuesIn(exchanges),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(VorsikAPIClientTest, ReRegistrationResendsTheSameBodyWithTheNewToken)
{
    AppSettings::setString(AppSettings::Keys::installationToken, u"old"_s);
    server.enqueue(Response::json(401, "{}"));
    server.enqueue(Response::json(200, tokenAnswer("new")));
    server.enqueue(Response::json(200, R"({"text":"ok"})"));
    VorsikAPIClient client(configuration());

    ASSERT_EQ(finish(start(client)).text, u"ok"_s);
    ASSERT_EQ(server.requestCount(), 3);
    const auto &first = server.requests().at(0);
    const auto &second = server.requests().at(2);
    EXPECT_EQ(first.header("X-Vorsik-Key"), QByteArray("old"));
    EXPECT_EQ(second.header("X-Vorsik-Key"), QByteArray("new"));
    EXPECT_EQ(first.header("Content-Type"), second.header("Content-Type"));
    EXPECT_EQ(first.body, second.body);
}

// ---- bodies the client must survive ------------------------------------------

struct BadBody
{
    const char *name;
    QByteArray body;
};

void PrintTo(const BadBody &row, std::ostream *out) { *out << row.name; }

class VorsikAPIBadBodyTest : public VorsikAPIClientTest, public ::testing::WithParamInterface<BadBody>
{
};

TEST_P(VorsikAPIBadBodyTest, EndsInTheDocumentedError)
{
    const QByteArray body = GetParam().body;
    struct Stage
    {
        std::optional<QString> cachedToken;
        Response answer;
        Case expected;
        QString description;
    };
    const std::vector<Stage> stages = {
        {{}, Response::text(200, body, "application/json"), Case::invalidResponse, invalidResponseText},
        {{}, Response::text(500, body, "application/json"), Case::server, u"Ошибка регистрации 500"_s},
        {u"t"_s, Response::text(200, body, "application/json"), Case::invalidResponse, invalidResponseText},
        {u"t"_s, Response::text(502, body, "application/json"), Case::server, u"Ошибка сервера 502"_s},
    };
    VorsikAPIClient client(configuration());
    for (const Stage &stage : stages) {
        TestUtil::clearSettings();
        if (stage.cachedToken)
            AppSettings::setString(AppSettings::Keys::installationToken, *stage.cachedToken);
        server.enqueue(stage.answer);
        const Outcome outcome = finish(start(client));
        EXPECT_EQ(outcome.errorCase, stage.expected) << outcome.description.toStdString();
        EXPECT_EQ(outcome.description, stage.description);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, VorsikAPIBadBodyTest,
    ::testing::Values(BadBody{"Empty", QByteArray()}, BadBody{"Binary", QByteArray("\x00\xff\xfe{\"text\x01", 9)},
                      BadBody{"Huge", QByteArray(10 * 1024 * 1024, 'x')},
                      BadBody{"HugeJSONWithoutMembers",
                              "{\"padding\":\"" + QByteArray(10 * 1024 * 1024, 'a') + "\"}"},
                      BadBody{"TruncatedJSON", R"({"text":"Привет","installation_token":"abc)"},
                      BadBody{"TopLevelArray", R"([{"text":"x","installation_token":"y","detail":"z"}])"},
                      BadBody{"WrongTypes", R"({"text":["x"],"installation_token":{"v":"y"},"detail":7})"},
                      BadBody{"JSONNull", "null"}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- transfer failures ---------------------------------------------------------

TEST_F(VorsikAPIClientTest, RefusedConnectionIsANetworkErrorWithQtsText)
{
    auto closed = std::make_unique<LoopbackHttpServer>();
    ASSERT_TRUE(closed->listen());
    const QString base = closed->baseUrl().toString();
    closed.reset(); // the port is free again: nobody listens there

    VorsikAPIClient client(VorsikAPIConfiguration({base, u"1"_s, u"1"_s}));
    const Outcome outcome = finish(start(client));
    EXPECT_EQ(outcome.errorCase, Case::network);
    EXPECT_EQ(outcome.description, networkPrefix + u"Connection refused"_s);
    EXPECT_EQ(storedToken(), std::nullopt);
}

struct TransferFailure
{
    const char *name;
    Response answer;
    QString qtText; // empty: any non-empty text
};

void PrintTo(const TransferFailure &row, std::ostream *out) { *out << row.name; }

class VorsikAPITransferFailureTest : public VorsikAPIClientTest, public ::testing::WithParamInterface<TransferFailure>
{
};

TEST_P(VorsikAPITransferFailureTest, RegistrationAndUploadFailWithoutRetry)
{
    const TransferFailure &row = GetParam();
    for (const bool registered : {false, true}) {
        SCOPED_TRACE(registered ? "upload" : "registration");
        TestUtil::clearSettings();
        if (registered)
            AppSettings::setString(AppSettings::Keys::installationToken, u"kept"_s);
        const int before = server.requestCount();
        server.setHandler([&row](const LoopbackHttpServer::Request &) { return row.answer; });
        VorsikAPIClient client(configuration());
        client.setTimeouts(400ms, 30s);

        const Outcome outcome = finish(start(client));

        EXPECT_EQ(outcome.errorCase, Case::network);
        ASSERT_TRUE(outcome.description.startsWith(networkPrefix)) << outcome.description.toStdString();
        if (row.qtText.isEmpty()) {
            EXPECT_GT(outcome.description.size(), networkPrefix.size());
        } else {
            EXPECT_EQ(outcome.description, networkPrefix + row.qtText);
        }
        EXPECT_EQ(server.requests().at(before).path, registered ? dictations.toUtf8() : installations.toUtf8());
        EXPECT_EQ(storedToken(), registered ? std::optional(u"kept"_s) : std::nullopt);
        if (registered) {
            EXPECT_EQ(server.requestCount() - before, 1) << "an upload is never sent twice";
        } else {
            // Qt may resend a bodiless registration on a connection that closed unanswered.
            for (int i = before; i < server.requestCount(); ++i)
                EXPECT_EQ(server.requests().at(i).path, installations.toUtf8()) << "no upload follows";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, VorsikAPITransferFailureTest,
    ::testing::Values(
        TransferFailure{"NeverAnswers", Response::neverAnswering(), u"Socket operation timed out"_s},
        TransferFailure{"ClosesAtOnce", Response::closing(), u"Connection closed"_s},
        TransferFailure{"TruncatedBody",
                        Response::raw("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                                      "Content-Length: 400\r\n\r\n{\"text\":\"Прив"),
                        QString()},
        TransferFailure{"NotHTTP", Response::raw("SSH-2.0-OpenSSH_9.2\r\n"), QString()}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(VorsikAPIClientTest, DestroyingTheClientEndsACallInFlight)
{
    AppSettings::setString(AppSettings::Keys::installationToken, u"t"_s);
    server.enqueue(Response::neverAnswering());
    auto client = std::make_unique<VorsikAPIClient>(configuration());
    const auto out = start(*client);
    ASSERT_TRUE(TestUtil::runUntil([&] { return server.requestCount() == 1; }, 30s));
    client.reset();
    const Outcome outcome = finish(out);
    EXPECT_EQ(outcome.errorCase, Case::network);
}
