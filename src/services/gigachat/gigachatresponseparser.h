#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

struct GigaChatUsage {
    qint64 promptTokens = 0;
    qint64 completionTokens = 0;
    qint64 totalTokens = 0;
    qint64 precachedPromptTokens = 0;

    friend bool operator==(const GigaChatUsage &, const GigaChatUsage &) = default;
};

// Lenient readers of GigaChat's JSON answers: anything that is not the expected
// shape is "no value", never a failure.
namespace GigaChatResponseParser {

// Top-level "message", else "error"."message".
std::optional<QString> errorMessage(const QByteArray &data);
// "choices"[0]."message"."content".
std::optional<QString> messageText(const QByteArray &data);
// The "usage" object; counts that are absent or not integers read as 0.
std::optional<GigaChatUsage> usage(const QByteArray &data);

} // namespace GigaChatResponseParser
