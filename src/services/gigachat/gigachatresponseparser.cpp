#include "services/gigachat/gigachatresponseparser.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

using namespace Qt::StringLiterals;

namespace GigaChatResponseParser {

namespace {

std::optional<QJsonObject> topLevelObject(const QByteArray &data)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

std::optional<QString> stringMember(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

// JSON has one number type; a count counts only when it is a whole number.
qint64 integerMember(const QJsonObject &object, const QString &key) { return object.value(key).toInteger(0); }

} // namespace

std::optional<QString> errorMessage(const QByteArray &data)
{
    const auto object = topLevelObject(data);
    if (!object)
        return std::nullopt;
    if (auto message = stringMember(*object, u"message"_s))
        return message;
    const QJsonValue error = object->value(u"error"_s);
    if (!error.isObject())
        return std::nullopt;
    return stringMember(error.toObject(), u"message"_s);
}

std::optional<QString> messageText(const QByteArray &data)
{
    const auto object = topLevelObject(data);
    if (!object)
        return std::nullopt;
    const QJsonValue choices = object->value(u"choices"_s);
    if (!choices.isArray())
        return std::nullopt;
    const QJsonArray array = choices.toArray();
    if (array.isEmpty())
        return std::nullopt;
    for (const QJsonValue &choice : array) {
        if (!choice.isObject())
            return std::nullopt;
    }
    const QJsonValue message = array.first().toObject().value(u"message"_s);
    if (!message.isObject())
        return std::nullopt;
    return stringMember(message.toObject(), u"content"_s);
}

std::optional<GigaChatUsage> usage(const QByteArray &data)
{
    const auto object = topLevelObject(data);
    if (!object)
        return std::nullopt;
    const QJsonValue value = object->value(u"usage"_s);
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject usageObject = value.toObject();
    return GigaChatUsage {
        integerMember(usageObject, u"prompt_tokens"_s),
        integerMember(usageObject, u"completion_tokens"_s),
        integerMember(usageObject, u"total_tokens"_s),
        integerMember(usageObject, u"precached_prompt_tokens"_s),
    };
}

} // namespace GigaChatResponseParser
