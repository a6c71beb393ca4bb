#include "servicetestsupport.h"
#include "textpolisher.h"

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Quality = TextPolisher::Quality;
using Response = LoopbackHttpServer::Response;

namespace {

// The text the editor returned for one scripted answer, or "error:" and what it threw.
QString outcome(const Response &answer, const QString &text = u"сырой текст"_s, SmartMode mode = SmartMode::clean,
    Quality quality = Quality::fast, const QString &context = {}, const QStringList &vocabulary = {},
    LoopbackHttpServer *server = nullptr)
{
    LoopbackHttpServer local;
    server = server ? server : &local;
    EXPECT_TRUE(server->listen());
    server->enqueue(answer);
    OpenAITextPolisher polisher(OpenAIConfiguration(server->baseUrl().toString()));
    polisher.overrideTimeout(500ms);
    return outcomeOf(polisher.polish(text, mode, quality, context, vocabulary, u"sk-secret"_s));
}

const Response ok = Response::json(200, R"({"output":[{"content":[{"type":"output_text","text":"ok"}]}]})");

} // namespace

TEST(TextPolisherTest, RequestForEachQualityAndMode)
{
    QStringList terms;
    for (int i = 0; i < 120; ++i)
        terms.append(u"t%1"_s.arg(i));
    const std::tuple<Quality, SmartMode, QString, QStringList, QString> rows[] = {
        { Quality::fast, SmartMode::clean, {}, {}, u"fast-clean"_s },
        { Quality::accurate, SmartMode::structured, u" Врач "_s, terms, u"accurate-structured"_s },
        { Quality::maximum, SmartMode::clean, u"ИТ"_s, { u"Qt"_s }, u"maximum-clean"_s },
    };
    for (const auto &[quality, mode, context, vocabulary, golden] : rows) {
        LoopbackHttpServer server;
        EXPECT_EQ(outcome(ok, u"сырой текст"_s, mode, quality, context, vocabulary, &server), u"ok"_s);
        ASSERT_EQ(server.requestCount(), 1);
        Golden::expectRequest(server.requests().first(), u"openai/golden/%1.http"_s.arg(golden),
            { { u"TERMS"_s, terms.mid(0, 100).join(u", "_s).toUtf8() } });
    }
}

// What the editor makes of each kind of answer, and of no answer at all.
TEST(TextPolisherTest, Answers)
{
    const std::pair<Response, QString> rows[] = {
        { Response::json(200,
              R"({"output":[{"type":"reasoning"},{"type":"message","content":[{"type":"x"},)"
              R"({"type":"output_text","text":"\n Готово. \n"},{"type":"output_text","text":"B"}]}]})"),
            u"Готово."_s },
        { Response::json(200, R"({"output":[{"content":[{"type":"output_text","text":" \n\t"}]}]})"),
            u"error:Редактор текста вернул пустой ответ."_s },
        { Response::json(200, QByteArray(10 * 1024 * 1024, '[')), u"error:Редактор текста вернул пустой ответ."_s },
        { Response::json(401, R"({"error":{"message":"Incorrect API key"}})"), u"error:Incorrect API key"_s },
        { Response::json(500, "<html>oops</html>"), u"error:HTTP 500"_s },
        { Response::rawBytes("garbage\r\n\r\n"), u"error:"_s },
        { Response::neverAnswering(), u"error:"_s },
    };
    for (const auto &[answer, expected] : rows) {
        const QString result = outcome(answer, u"текст"_s);
        if (expected == u"error:") // a transport failure: Qt's own words, never the key
            EXPECT_TRUE(result.startsWith(expected) && result.size() > 6 && !result.contains(u"sk-secret"))
                << result.toStdString();
        else
            EXPECT_EQ(result, expected);
    }
}

TEST(TextPolisherTest, VerbatimAndBadAddressesMakeNoRequest)
{
    LoopbackHttpServer server;
    EXPECT_EQ(outcome(ok, u"  как есть "_s, SmartMode::verbatim, Quality::fast, {}, {}, &server), u"  как есть "_s);
    EXPECT_EQ(server.requestCount(), 0);
    OpenAITextPolisher unreachable(OpenAIConfiguration(u"api.openai.com"_s));
    EXPECT_EQ(outcomeOf(unreachable.polish(u"x"_s, SmartMode::clean, Quality::fast, {}, {}, u"k"_s)),
        u"error:Некорректный адрес редактора текста."_s);
}
