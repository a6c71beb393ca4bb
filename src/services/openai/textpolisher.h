#pragma once

#include "core/abstracttextpolisher.h"
#include "services/openai/openaiconfiguration.h"

#include <chrono>
#include <optional>

// The OpenAI editor model's clean-up of a final transcript.
namespace TextPolisher {

QString model(Quality quality);
QString reasoningEffort(Quality quality);
std::chrono::seconds timeout(Quality quality);

QString instructions(SmartMode mode, const QString &context, const QStringList &vocabulary);
QByteArray requestBody(
    const QString &text, SmartMode mode, Quality quality, const QString &context, const QStringList &vocabulary);

} // namespace TextPolisher

class OpenAITextPolisher final : public AbstractTextPolisher {
public:
    explicit OpenAITextPolisher(OpenAIConfiguration configuration = {});

    // Throws TextPolisherError, or DescribedError with the transport's own words.
    QCoro::Task<QString> polish(QString text, SmartMode mode, TextPolisher::Quality quality, QString context,
        QStringList vocabulary, QString apiKey) override;

    // Test seam: replaces the quality's time-out.
    void overrideTimeout(std::optional<std::chrono::milliseconds> timeout) { m_timeoutOverride = timeout; }

private:
    OpenAIConfiguration m_configuration;
    std::optional<std::chrono::milliseconds> m_timeoutOverride;
};
