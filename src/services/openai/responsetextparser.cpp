#include "services/openai/responsetextparser.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace Qt::StringLiterals;

std::optional<QString> ResponseTextParser::outputText(const QByteArray &body)
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    const QJsonValue output = document.object().value("output"_L1);
    if (!output.isArray())
        return std::nullopt;
    for (const QJsonValue &element : output.toArray()) {
        const QJsonValue content = element.toObject().value("content"_L1);
        if (!content.isArray())
            continue;
        for (const QJsonValue &part : content.toArray()) {
            const QJsonObject object = part.toObject();
            const QJsonValue text = object.value("text"_L1);
            if (object.value("type"_L1).toString() == u"output_text" && text.isString())
                return text.toString();
        }
    }
    return std::nullopt;
}

std::optional<QString> ResponseTextParser::errorMessage(const QByteArray &body)
{
    const QJsonValue message = QJsonDocument::fromJson(body).object().value("error"_L1).toObject().value("message"_L1);
    if (!message.isString())
        return std::nullopt;
    return message.toString();
}
