#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Reads the OpenAI responses endpoint's bodies.
namespace ResponseTextParser {

// The first "output_text" part of any output element; later parts are not appended.
std::optional<QString> outputText(const QByteArray &body);
// "error"."message" of a failed request.
std::optional<QString> errorMessage(const QByteArray &body);

} // namespace ResponseTextParser
