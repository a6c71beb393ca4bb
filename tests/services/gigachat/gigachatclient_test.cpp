#include "gigachatclient.h"
#include "gigachaterror.h"
#include "gigachatresponseparser.h"
#include "gigachattestsupport.h"

using namespace Qt::StringLiterals;

QString outcomeText(const GigaChatSelfTestResult &);

namespace {

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
const auto invalid = u"error:GigaChat вернул некорректный ответ."_s;
const auto networkPrefix = u"error:Не удалось подключиться к GigaChat: Сбой при получении доступа: "_s;

using GigaChatClientTest = GigaChatTest;

TEST(GigaChatUnits, KeyNormalisationAndAnswerParsing)
{
    const std::pair<QString, QString> keys[] = { { u"Basic abc123=="_s, u"abc123=="_s },
        { u"  bAsIc ab\nc1\r\n23 == \n"_s, u"abc123=="_s }, { u"basic"_s, u"basic"_s },
        { u"Basicabc"_s, u"Basicabc"_s }, { u"basic \t "_s, u"basic"_s }, { u" \n\t "_s, u""_s } };
    for (const auto &[key, normalised] : keys)
        EXPECT_EQ(GigaChatClient::normalizedAuthorizationKey(key), normalised) << key.toStdString();

    const std::pair<QByteArray, std::optional<QString>> errors[] = { { R"({"message":"M"})", u"M"_s },
        { R"({"message":5,"error":{"message":"E"}})", u"E"_s }, { R"({"error":"E"})", std::nullopt } };
    for (const auto &[body, message] : errors)
        EXPECT_EQ(GigaChatResponseParser::errorMessage(body), message) << body.toStdString();
    for (const char *body :
        { R"({"choices":[]})", R"({"choices":[{"message":{"content":1}}]})", R"({"choices":[{"message":"text"}]})",
            R"({"choices":[{"message":{"content":"a"}}, 3]})", R"({"choices":{"message":{"content":"a"}}})" })
        EXPECT_EQ(GigaChatResponseParser::messageText(body), std::nullopt) << body;
    EXPECT_EQ(
        GigaChatResponseParser::usage(R"({"usage":{"prompt_tokens":"10","completion_tokens":2.5}})"), GigaChatUsage {});
    EXPECT_EQ(GigaChatResponseParser::usage(R"({"usage":[1]})"), std::nullopt);
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
        { { { .output = "401", .body = R"({"message":"Bad key"})" } }, 3, u"error:GigaChat: Bad key"_s },
        { { { .output = "401", .body = "<html>denied</html>" } }, 3, u"error:GigaChat: HTTP 401"_s },
        { { { .body = R"({"access_token":""})" } }, 3, invalid },
        { { token, { .body = R"({"models":[]})" } }, 3, invalid },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.expected.toStdString());
        const int before = curl.callCount();
        for (const CurlAnswer &answer : row.answers)
            curl.enqueue(answer);
        EXPECT_EQ(outcomeOf(GigaChatClient(120, row.attempts).validateConnection(u"key"_s)), row.expected);
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
    EXPECT_FALSE(client.lastUsage());
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
    const QString prompt
        = QJsonDocument::fromJson(curl.record(11, u"stdin"_s))[u"messages"_s][0][u"content"_s].toString();
    EXPECT_TRUE(prompt.contains(u"Обработка: Преврати диктовку в ясный готовый текст:"_s));
    EXPECT_TRUE(prompt.endsWith(u"\nКонтекст речи: не указан\nПредпочтительные имена и термины: не указаны"_s));
}

TEST_F(GigaChatClientTest, MissingKeyAndEmptyAudioFailBeforeAnyTraffic)
{
    GigaChatClient client;
    const QString emptyAudio = u"error:Запись получилась пустой."_s;
    EXPECT_EQ(outcomeOf(client.transcribeAndEdit("\x01\x02", u" \n\t "_s, SmartMode::verbatim, {}, {})),
        u"error:Добавьте Authorization Key GigaChat."_s);
    EXPECT_EQ(outcomeOf(client.transcribeAndEdit("", u"key"_s, SmartMode::verbatim, {}, {})), emptyAudio);
    EXPECT_EQ(outcomeOf(client.transcribeWAVForSelfTest({}, u"key"_s, u"GigaChat"_s)), emptyAudio);
    EXPECT_EQ(curl.callCount(), 0);
}

} // namespace

QString outcomeText(const GigaChatSelfTestResult &) { return u"a result"_s; }
