#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Reads the backend's JSON answers leniently: a member counts only when the body
// is a JSON object and the member is a string. Anything else, including a body
// that is not JSON at all, is "no value".
namespace VorsikAPIResponseParser {

std::optional<QString> installationToken(const QByteArray &data);
std::optional<QString> errorMessage(const QByteArray &data);
std::optional<QString> text(const QByteArray &data);

} // namespace VorsikAPIResponseParser
