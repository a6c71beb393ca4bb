#include "services/vorsik/vorsikapiresponseparser.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>

using namespace Qt::StringLiterals;

namespace VorsikAPIResponseParser {

namespace {

std::optional<QString> stringMember(const QByteArray &data, const QString &name)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonValue value = document.object().value(name);
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

} // namespace

std::optional<QString> installationToken(const QByteArray &data) { return stringMember(data, u"installation_token"_s); }

std::optional<QString> errorMessage(const QByteArray &data) { return stringMember(data, u"detail"_s); }

std::optional<QString> text(const QByteArray &data) { return stringMember(data, u"text"_s); }

} // namespace VorsikAPIResponseParser
