#pragma once

#include "abstractgigachatclient.h"
#include "gigachatresponseparser.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <QCoro/QCoroTask>

#include <optional>

struct GigaChatSelfTestResult {
    QString text;
    std::optional<GigaChatUsage> usage;
};

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

    // The self-test's transcription of a complete WAV file; the deletion of the
    // uploaded file is started but not awaited.
    QCoro::Task<GigaChatSelfTestResult> transcribeWAVForSelfTest(
        QByteArray wav, QString authorizationKey, QString model);

    // The model ids the service offers, in its order.
    QCoro::Task<QStringList> validateConnection(QString authorizationKey);

    // Usage of the last transcript request that returned text.
    std::optional<GigaChatUsage> lastUsage() const { return m_lastUsage; }
    double requestTimeout() const { return m_requestTimeout; }
    int maximumAttempts() const { return m_maximumAttempts; }

    // A key pasted as "Basic <key>", with spaces around it or broken over lines, reduced to the bare key.
    static QString normalizedAuthorizationKey(const QString &key);

private:
    const double m_requestTimeout;
    const int m_maximumAttempts;
    std::optional<GigaChatUsage> m_lastUsage;
};
