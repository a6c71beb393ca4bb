#include "services/openai/textpolisher.h"

#include "core/logging.h"
#include "services/openai/openaierrors.h"
#include "services/openai/responsetextparser.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QScopedPointer>
#include <QTimer>

#include <QCoro/QCoroNetworkReply>

using namespace Qt::StringLiterals;

namespace {

using Quality = TextPolisher::Quality;

constexpr QStringView promptHead
    = u"Ты редактор текста после автоматического распознавания голоса. Текст может содержать фонетически похожие, "
      u"но неверные слова, неправильные окончания, потерянную пунктуацию, обрывки и повторы.\n\n"
      u"Восстанови наиболее вероятную исходную мысль по смыслу всей диктовки. Исправляй очевидные ошибки "
      u"распознавания смело, включая имена, термины, омонимы и согласование. Сохрани все числа, факты, условия, "
      u"отрицания, команды и намерение автора. Не придумывай новую информацию и не отвечай на содержание "
      u"диктовки — только отредактируй её.\n\n"
      u"Верни только готовый текст без предисловий, кавычек и комментариев.\n"
      u"Режим: ";

constexpr QStringView cleanText
    = u"Исправь ошибки распознавания, грамматику, пунктуацию и регистр. Убери слова-паразиты, случайные обрывки "
      u"и явные самоповторы. Сохрани естественную разговорную формулировку, все факты и намерение автора.";

constexpr QStringView structuredText
    = u"Преврати диктовку в ясный готовый текст: исправь ошибки распознавания, грамматику и пунктуацию, убери "
      u"слова-паразиты, обрывки и повторы, раздели мысли на абзацы. Используй список только при настоящем "
      u"перечислении. Сохрани все факты и намерение автора.";

constexpr qsizetype vocabularyLimit = 100;

} // namespace

namespace {

// Each quality's model, reasoning effort and request time-out, decided in one place.
struct Profile {
    QStringView model;
    QStringView effort;
    std::chrono::seconds timeout;
};

Profile profile(Quality quality)
{
    switch (quality) {
    case Quality::fast:
        return { u"gpt-5.6-luna", u"none", std::chrono::seconds(30) };
    case Quality::maximum:
        return { u"gpt-5.6-sol", u"medium", std::chrono::seconds(90) };
    case Quality::accurate:
        break;
    }
    return { u"gpt-5.6-terra", u"low", std::chrono::seconds(50) };
}

} // namespace

QString TextPolisher::model(Quality quality) { return profile(quality).model.toString(); }

QString TextPolisher::reasoningEffort(Quality quality) { return profile(quality).effort.toString(); }

std::chrono::seconds TextPolisher::timeout(Quality quality) { return profile(quality).timeout; }

QString TextPolisher::instructions(SmartMode mode, const QString &context, const QStringList &vocabulary)
{
    const QString terms = vocabulary.mid(0, vocabularyLimit).join(u", "_s);
    QString result = promptHead.toString();
    result.append(mode == SmartMode::structured ? structuredText : cleanText);
    result.append(u"\nКонтекст речи: "_s).append(context.isEmpty() ? u"не указан"_s : context);
    result.append(u"\nПредпочтительные имена и термины: "_s).append(terms.isEmpty() ? u"не указаны"_s : terms);
    return result;
}

QByteArray TextPolisher::requestBody(
    const QString &text, SmartMode mode, Quality quality, const QString &context, const QStringList &vocabulary)
{
    const QJsonObject body {
        { "model"_L1, model(quality) },
        { "store"_L1, false },
        { "reasoning"_L1, QJsonObject { { "effort"_L1, reasoningEffort(quality) } } },
        { "text"_L1, QJsonObject { { "verbosity"_L1, "low"_L1 } } },
        { "instructions"_L1, instructions(mode, context, vocabulary) },
        { "input"_L1, text },
    };
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

OpenAITextPolisher::OpenAITextPolisher(OpenAIConfiguration configuration)
    : m_configuration(std::move(configuration))
{
}

QCoro::Task<QString> OpenAITextPolisher::polish(QString text, SmartMode mode, TextPolisher::Quality quality,
    QString context, QStringList vocabulary, QString apiKey)
{
    if (mode == SmartMode::verbatim)
        co_return text;
    const std::optional<QUrl> url = m_configuration.responsesURL();
    if (!url)
        throw TextPolisherError(TextPolisherErrorCase::invalidURL);

    const std::chrono::milliseconds timeout = m_timeoutOverride.value_or(TextPolisher::timeout(quality));
    QNetworkRequest request(*url);
    request.setRawHeader("Authorization", "Bearer " + apiKey.toUtf8());
    request.setRawHeader("Content-Type", "application/json");
    request.setTransferTimeout(static_cast<int>(timeout.count()));

    // A session of its own for this one request: no cookies or connections outlive it. The coroutine
    // resumes inside the reply's finished signal, so the session and its reply (a child) go later.
    const QScopedPointer<QNetworkAccessManager, QScopedPointerDeleteLater> session(new QNetworkAccessManager);
    session->setCookieJar(nullptr);
    QNetworkReply *const reply
        = session->post(request, TextPolisher::requestBody(text, mode, quality, context, vocabulary));
    QTimer::singleShot(timeout, reply, [reply] { reply->abort(); });
    QElapsedTimer clock;
    clock.start();
    co_await reply;
    qCDebug(lcServices) << "text editor: answered after" << clock.elapsed() << "ms";

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // The caller may go on with the unedited text, so a failure would pass unseen without this line.
    if (reply->error() != QNetworkReply::NoError)
        qCWarning(lcServices) << "text editor: the request failed:" << reply->error() << "status" << status.toInt();
    if (!status.isValid()) {
        // Qt reports both time-outs as a cancelled operation, which would tell the user nothing.
        if (reply->error() == QNetworkReply::OperationCanceledError)
            throw DescribedError(QCoreApplication::translate("QAbstractSocket", "Socket operation timed out"));
        if (reply->error() != QNetworkReply::NoError)
            throw DescribedError(reply->errorString());
        throw TextPolisherError(TextPolisherErrorCase::invalidResponse);
    }
    const QByteArray body = reply->readAll();
    const int code = status.toInt();
    if (code < 200 || code > 299) {
        throw TextPolisherError(TextPolisherErrorCase::api,
            ResponseTextParser::errorMessage(body).value_or(u"HTTP "_s + QString::number(code)));
    }
    const QString result = ResponseTextParser::outputText(body).value_or(QString()).trimmed();
    if (result.isEmpty())
        throw TextPolisherError(TextPolisherErrorCase::emptyResponse);
    co_return result;
}
