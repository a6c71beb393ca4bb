#pragma once

#include "services/server/recognitionservererror.h"

#include <QNetworkReply>
#include <QSslConfiguration>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <vector>

class QNetworkAccessManager;
class QNetworkRequest;

// Speaks the OpenAI-compatible transcription API of a server the user runs (vLLM, speaches,
// LocalAI…): `POST /v1/audio/transcriptions` with the audio as a 16-kHz mono 16-bit WAV, and
// `GET /v1/models`. HTTPS is checked against the system's certificates and an optional CA file;
// plain HTTP goes only to this computer or where the user allowed it. The key goes only into
// the Authorization header. Lives on the main thread.
class RecognitionServerClient {
public:
    struct Settings {
        QUrl url; // the server's address, with or without the trailing /v1
        QString model;
        QString caFile; // PEM or DER, for a company's own certificate authority; empty for none
        bool allowUnencrypted = false;
        QString language = QStringLiteral("ru"); // "auto" leaves it to the server
        // A stretch's answer is awaited this long, and its audio's length times the factor more.
        std::chrono::milliseconds deadlineBase { 10000 };
        double deadlinePerAudioSecond = 1.0;
        std::chrono::milliseconds probeDeadline { 3000 };
        // Before the one retry after 429, 5xx or a dropped connection, unless the server says.
        std::chrono::milliseconds retryDelay { 1000 };
    };

    explicit RecognitionServerClient(Settings settings);
    ~RecognitionServerClient();

    // Why the address cannot be used, if it cannot: not http(s), no host, or plain HTTP to
    // another computer without the user's leave.
    static std::optional<RecognitionServerError> checkAddress(const QUrl &url, bool allowUnencrypted);

    const Settings &settings() const { return m_settings; }
    void setModel(const QString &model) { m_settings.model = model; }
    void setKey(const QString &key) { m_key = key; }

    // The models the server serves; none where it has no list. Throws RecognitionServerError:
    // unreachable, untrusted, unauthorized, caFileUnreadable.
    QCoro::Task<QStringList> models();
    // One stretch of 16-kHz speech. A stretch the server finds too large goes in halves. Throws
    // RecognitionServerError.
    QCoro::Task<QString> recognise(std::vector<float> samples, QString prompt);
    // Ends every request under way; their tasks throw connectionLost.
    void abort();

private:
    struct Answer {
        int status = 0; // 0: no HTTP answer
        QNetworkReply::NetworkError error = QNetworkReply::NoError;
        QByteArray body;
        bool timedOut = false;
        std::optional<std::chrono::seconds> retryAfter;
    };

    QCoro::Task<QString> recogniseSpan(std::span<const float> samples, QString prompt);
    QCoro::Task<Answer> exchange(
        QNetworkRequest request, QByteArray wav, QString prompt, std::chrono::milliseconds deadline);
    QNetworkRequest request(const QString &endpoint);
    QString host() const;

    Settings m_settings;
    QString m_key;
    std::unique_ptr<QNetworkAccessManager> m_manager;
    std::optional<QSslConfiguration> m_tls;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

// 16-kHz mono float samples as a 16-bit PCM WAV file.
QByteArray wav16kHz(std::span<const float> samples);
