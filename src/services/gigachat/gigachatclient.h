#pragma once

#include "core/abstractgigachatclient.h"
#include "services/gigachat/gigachatexchanges.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <QCoro/QCoroTask>

#include <optional>

// Turns a finished recording into text with GigaChat: a fresh access token, the
// recording uploaded as a WAV file, a chat model asked for the transcript, the
// file deleted again. Every exchange goes through the curl transport with
// retries of curl's transient failures. Throws GigaChatError.
class GigaChatClient final : public QObject, public AbstractGigaChatClient {
    Q_OBJECT
public:
    static constexpr auto dictationModel = "GigaChat-3-Ultra";

    explicit GigaChatClient(double requestTimeout = 120, int maximumAttempts = 3, QObject *parent = nullptr);

    QCoro::Task<QString> transcribeAndEdit(QByteArray pcmAudio, QString authorizationKey, SmartMode mode,
        QString context, QStringList vocabulary) override;

    // Usage of the last transcript request that returned text.
    std::optional<GigaChatUsage> lastUsage() const { return m_lastUsage; }

private:
    const GigaChatExchanges::Limits m_limits;
    std::optional<GigaChatUsage> m_lastUsage;
};
