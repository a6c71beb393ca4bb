#pragma once

#include "core/abstractvorsikapiclient.h"
#include "services/vorsik/vorsikapiconfiguration.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QFuture>
#include <QObject>
#include <QString>
#include <QStringList>

#include <QCoro/QCoroTask>

#include <chrono>
#include <memory>

class QNetworkAccessManager;
class QNetworkRequest;

// Client of the own backend: registers this installation once, then uploads each
// recording as a WAV file in a multipart form and returns the backend's edited text.
// Lives on the main thread; its operations are coroutines that resume there.
class VorsikAPIClient final : public QObject, public AbstractVorsikAPIClient {
    Q_OBJECT

public:
    // Idle time a single request may wait for the server before it fails.
    static constexpr std::chrono::milliseconds defaultRequestTimeout { 60'000 };
    // Longest a single request may take in all.
    static constexpr std::chrono::milliseconds defaultResourceTimeout { 180'000 };

    explicit VorsikAPIClient(
        VorsikAPIConfiguration configuration = VorsikAPIConfiguration(), QObject *parent = nullptr);
    ~VorsikAPIClient() override;

    // Throws VorsikAPIError, or the WAV encoder's error for an over-long recording.
    QCoro::Task<QString> transcribeAndEdit(
        QByteArray pcmAudio, SmartMode mode, QString context, QStringList vocabulary) override;

    // Opens the connection the upload will take: by registering this installation when
    // it has no token yet. A failure is only logged; the upload then does both itself.
    void warmUp() override;

    // Lets tests shorten the waits.
    void setTimeouts(std::chrono::milliseconds request, std::chrono::milliseconds resource);

    // "Vorsik-" followed by a new upper-case UUID.
    static QByteArray newBoundary();
    // The whole multipart body of one dictation. The WAV header and the PCM are
    // written straight into the body, so the recording is copied exactly once.
    static QByteArray dictationBody(const QByteArray &pcm, SmartMode mode, const QString &context,
        const QStringList &vocabulary, QByteArrayView boundary);
    // Appends one text part (no Content-Type line) to `body`.
    static void appendFormField(QByteArray &body, QByteArrayView name, QByteArrayView value, QByteArrayView boundary);

private:
    struct Transfer {
        int status = 0;
        QByteArray body;
    };

    // `When::ahead`: for the warm-up, whose failures are only worth a debug line.
    enum class When { needed, ahead };
    QCoro::Task<QString> installationToken(When when = When::needed);
    QCoro::Task<QString> registerInstallation(When when);
    QCoro::Task<> registerAhead();
    QCoro::Task<QString> uploadDictation(QByteArray body, QByteArray boundary, QString token);
    QCoro::Task<Transfer> send(QNetworkRequest request, QByteArray body, When when = When::needed);

    VorsikAPIConfiguration m_configuration;
    QNetworkAccessManager *m_session;
    std::chrono::milliseconds m_requestTimeout = defaultRequestTimeout;
    std::chrono::milliseconds m_resourceTimeout = defaultResourceTimeout;
    // Finishes when the registration under way ends; everyone who needs a token
    // meanwhile waits for it instead of registering a second time.
    QFuture<void> m_registration;
    // Cleared first thing in the destructor, so suspended calls that resume during
    // it know their client is gone.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};
