#include "loopbackhttpserver.h"
#include "openaierrors.h"
#include "openaitestsupport.h"
#include "testutil.h"
#include "textpolisher.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Quality = TextPolisher::Quality;
using Response = LoopbackHttpServer::Response;

namespace {

// The text the editor returned, or the description of what it threw.
QString outcome(OpenAITextPolisher &polisher, const QString &text, SmartMode mode, Quality quality = Quality::fast,
    const QString &context = {}, const QStringList &vocabulary = {})
{
    return outcomeOf(polisher.polish(text, mode, quality, context, vocabulary, u"sk-secret"_s));
}

} // namespace

TEST(TextPolisherTest, RequestForEachQualityAndMode)
{
    const QString head
        = u"Ты редактор текста после автоматического распознавания голоса. Текст может содержать фонетически похожие, "
          u"но "
          "неверные слова, неправильные окончания, потерянную пунктуацию, обрывки и повторы.\n\nВосстанови наиболее "
          "вероятную исходную мысль по смыслу всей диктовки. Исправляй очевидные ошибки распознавания смело, включая "
          "имена, термины, омонимы и согласование. Сохрани все числа, факты, условия, отрицания, команды и намерение "
          "автора. Не придумывай новую информацию и не отвечай на содержание диктовки — только отредактируй её.\n\n"
          "Верни только готовый текст без предисловий, кавычек и комментариев.\nРежим: "_s;
    QStringList terms;
    for (int i = 0; i < 120; ++i)
        terms.append(u"t%1"_s.arg(i));
    const QString first100 = terms.mid(0, 100).join(u", "_s);
    struct Case {
        Quality quality;
        SmartMode mode;
        QString context;
        QStringList vocabulary;
        const char *model, *effort;
        QString tail;
    };
    const QList<Case> cases {
        { Quality::fast, SmartMode::clean, {}, {}, "gpt-5.6-luna", "none",
            u"Исправь ошибки распознавания, грамматику, пунктуацию и регистр. Убери слова-паразиты, случайные обрывки "
            u"и "
            "явные самоповторы. Сохрани естественную разговорную формулировку, все факты и намерение автора.\nКонтекст "
            "речи: не указан\nПредпочтительные имена и термины: не указаны"_s },
        { Quality::accurate, SmartMode::structured, u" Врач "_s, terms, "gpt-5.6-terra", "low",
            u"Преврати диктовку в ясный готовый текст: исправь ошибки распознавания, грамматику и пунктуацию, убери "
            "слова-паразиты, обрывки и повторы, раздели мысли на абзацы. Используй список только при настоящем "
            "перечислении. Сохрани все факты и намерение автора.\nКонтекст речи:  Врач \nПредпочтительные имена и "
            "термины: "_s
                + first100 },
        { Quality::maximum, SmartMode::clean, u"ИТ"_s, { u"Qt"_s }, "gpt-5.6-sol", "medium", {} },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.model);
        LoopbackHttpServer server;
        ASSERT_TRUE(server.listen());
        server.enqueue(Response::json(200, R"({"output":[{"content":[{"type":"output_text","text":"ok"}]}]})"));
        OpenAITextPolisher polisher(OpenAIConfiguration(server.baseUrl().toString()));
        EXPECT_EQ(outcome(polisher, u"сырой текст"_s, c.mode, c.quality, c.context, c.vocabulary), u"ok"_s);
        ASSERT_EQ(server.requestCount(), 1);
        const LoopbackHttpServer::Request &request = server.requests().first();
        EXPECT_EQ(request.method + ' ' + request.target + ' ' + request.header("Authorization").value_or("") + ' '
                + request.header("Content-Type").value_or(""),
            "POST /v1/responses Bearer sk-secret application/json");
        const QJsonObject body = QJsonDocument::fromJson(request.body).object();
        const QString instructions = body.value(u"instructions").toString();
        EXPECT_EQ(body,
            (QJsonObject { { u"model"_s, QString::fromLatin1(c.model) }, { u"store"_s, false },
                { u"reasoning"_s, QJsonObject { { u"effort"_s, QString::fromLatin1(c.effort) } } },
                { u"text"_s, QJsonObject { { u"verbosity"_s, u"low"_s } } }, { u"instructions"_s, instructions },
                { u"input"_s, u"сырой текст"_s } }));
        EXPECT_TRUE(instructions.startsWith(head));
        if (!c.tail.isEmpty()) {
            EXPECT_EQ(instructions.mid(head.size()), c.tail);
        }
    }
}

// What the editor makes of each kind of answer, and of no answer at all.
TEST(TextPolisherTest, Answers)
{
    const QList<QPair<Response, QString>> cases {
        { Response::json(200,
              R"({"output":[{"type":"reasoning"},{"type":"message","content":[{"type":"x"},)"
              R"({"type":"output_text","text":"\n Готово. \n"},{"type":"output_text","text":"B"}]}]})"),
            u"Готово."_s },
        { Response::json(200, R"({"output":[{"content":[{"type":"output_text","text":" \n\t"}]}]})"),
            u"error:Редактор текста вернул пустой ответ."_s },
        { Response::json(200, QByteArray(10 * 1024 * 1024, '[')), u"error:Редактор текста вернул пустой ответ."_s },
        { Response::json(401, R"({"error":{"message":"Incorrect API key"}})"), u"error:Incorrect API key"_s },
        { Response::text(500, "<html>oops</html>", "text/html"), u"error:HTTP 500"_s },
        { Response::raw("garbage\r\n\r\n"), u"error:"_s },
        { Response::neverAnswering(), u"error:"_s },
    };
    for (const auto &[response, expected] : cases) {
        SCOPED_TRACE(expected.toStdString());
        LoopbackHttpServer server;
        ASSERT_TRUE(server.listen());
        server.enqueue(response);
        OpenAITextPolisher polisher(OpenAIConfiguration(server.baseUrl().toString()));
        polisher.overrideTimeout(500ms);
        const QString result = outcome(polisher, u"текст"_s, SmartMode::clean);
        if (expected == u"error:") // a transport failure: Qt's own words, never the key
            EXPECT_TRUE(result.startsWith(expected) && result.size() > 6 && !result.contains(u"sk-secret"));
        else
            EXPECT_EQ(result, expected);
    }
}

TEST(TextPolisherTest, VerbatimAndBadAddressesMakeNoRequest)
{
    LoopbackHttpServer server;
    ASSERT_TRUE(server.listen());
    OpenAITextPolisher polisher(OpenAIConfiguration(server.baseUrl().toString()));
    EXPECT_EQ(outcome(polisher, u"  как есть "_s, SmartMode::verbatim), u"  как есть "_s);
    OpenAITextPolisher unreachable(OpenAIConfiguration(u"api.openai.com"_s));
    EXPECT_EQ(outcome(unreachable, u"x"_s, SmartMode::clean), u"error:Некорректный адрес редактора текста."_s);
    EXPECT_EQ(server.requestCount(), 0);
}
