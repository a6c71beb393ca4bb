#include "services/vorsik/vorsikapiclient.h"

#include "audio/wavencoder.h"
#include "core/appsettings.h"
#include "core/describederror.h"
#include "core/detachedtask.h"
#include "core/logging.h"
#include "services/vorsik/vorsikapierror.h"
#include "services/vorsik/vorsikapiresponseparser.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPromise>
#include <QSslConfiguration>
#include <QStringDecoder>
#include <QTimer>
#include <QUuid>

#include <algorithm>
#include <cstring>

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroNetworkReply>

using namespace Qt::StringLiterals;

namespace {

using Case = VorsikAPIError::Case;

constexpr QByteArrayView crlf = "\r\n";

struct DeleteLater {
    void operator()(QObject *object) const { object->deleteLater(); }
};

// A token goes into a request header verbatim; one with control characters
// (a line break above all) would split the header, so it does not count as a token.
bool isUsableToken(const QString &token)
{
    if (token.isEmpty())
        return false;
    return std::none_of(
        token.cbegin(), token.cend(), [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

std::optional<QString> cachedToken()
{
    std::optional<QString> token = AppSettings::string(AppSettings::Keys::installationToken);
    if (token && isUsableToken(*token))
        return token;
    return std::nullopt;
}

QByteArray vocabularyJSON(const QStringList &vocabulary)
{
    QByteArray json = QJsonDocument(QJsonArray::fromStringList(vocabulary)).toJson(QJsonDocument::Compact);
    QStringDecoder decoder(QStringDecoder::Utf8);
    [[maybe_unused]] const QString decoded = decoder(json);
    if (decoder.hasError())
        return "[]";
    return json;
}

// The backend's own explanation of a failed request, or `fallback` with the status.
// A blank "detail" would leave the user with an empty message, so it counts as none.
QString failureMessage(const QByteArray &body, const QString &fallback, int status)
{
    const std::optional<QString> detail = VorsikAPIResponseParser::errorMessage(body);
    if (detail && !detail->trimmed().isEmpty())
        return *detail;
    return fallback + QString::number(status);
}

// The client went away while a transfer was under way.
VorsikAPIError cancelled()
{
    return VorsikAPIError(Case::network, QCoreApplication::translate("QNetworkReply", "Operation canceled"));
}

// Qt's own text for a transfer that ran out of time. Qt reports both of our
// time-outs as a cancelled operation, which would tell the user nothing.
QString timedOutText() { return QCoreApplication::translate("QAbstractSocket", "Socket operation timed out"); }

// Whether the server answered with a status line and the whole body arrived. Qt
// folds HTTP error statuses into the content and server ranges of its error codes:
// those are answers, and the status rules decide about them.
bool isAnswer(QNetworkReply::NetworkError error, const QVariant &status)
{
    if (!status.isValid())
        return false;
    const int code = static_cast<int>(error);
    return error == QNetworkReply::NoError
        || (code >= QNetworkReply::ContentAccessDenied && code <= QNetworkReply::UnknownContentError
            && error != QNetworkReply::ContentReSendError)
        || (code >= QNetworkReply::InternalServerError && code <= QNetworkReply::UnknownServerError);
}

// Lends a request body to Qt (shared, never copied whole; Qt reads it piece by
// piece as the socket drains) and refuses to start over once Qt has read from it: Qt's HTTP layer would otherwise send
// the request again on a connection that closed without an answer, and a dictation must never be uploaded twice behind
// the user's back.
class SingleUseBody final : public QIODevice {
public:
    explicit SingleUseBody(QByteArray bytes)
        : m_bytes(std::move(bytes))
    {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }

    bool isSequential() const override { return false; }
    qint64 size() const override { return m_bytes.size(); }
    bool reset() override { return !m_started && QIODevice::reset(); }
    bool seek(qint64 position) override { return (!m_started || position == pos()) && QIODevice::seek(position); }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        m_started = true;
        const qint64 count = std::min(maxSize, m_bytes.size() - pos());
        if (count <= 0)
            return count == 0 ? 0 : -1;
        std::memcpy(data, m_bytes.constData() + pos(), static_cast<size_t>(count));
        return count;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_bytes;
    bool m_started = false;
};

} // namespace

VorsikAPIClient::VorsikAPIClient(VorsikAPIConfiguration configuration, QObject *parent)
    : QObject(parent)
    , m_configuration(std::move(configuration))
    , m_session(new QNetworkAccessManager(this))
{
    // No disk cache and an in-memory cookie jar: nothing of a session outlives the process.
    m_session->setTransferTimeout(static_cast<int>(m_requestTimeout.count()));
    // Qt hands the reply of a pre-connection to nobody; without this each warm-up leaves one behind.
    connect(m_session, &QNetworkAccessManager::finished, this, [](QNetworkReply *reply) {
        if (reply->url().scheme().startsWith(u"preconnect"_s))
            reply->deleteLater();
    });
}

VorsikAPIClient::~VorsikAPIClient()
{
    *m_alive = false;
    // Aborting finishes each reply now, so no suspended call waits forever.
    const QList<QNetworkReply *> replies = m_session->findChildren<QNetworkReply *>();
    for (QNetworkReply *reply : replies)
        reply->abort();
}

void VorsikAPIClient::setTimeouts(std::chrono::milliseconds request, std::chrono::milliseconds resource)
{
    m_requestTimeout = request;
    m_resourceTimeout = resource;
    m_session->setTransferTimeout(static_cast<int>(request.count()));
}

QByteArray VorsikAPIClient::newBoundary()
{
    return "Vorsik-" + QUuid::createUuid().toByteArray(QUuid::WithoutBraces).toUpper();
}

void VorsikAPIClient::appendFormField(
    QByteArray &body, QByteArrayView name, QByteArrayView value, QByteArrayView boundary)
{
    body.append("--").append(boundary).append(crlf);
    body.append("Content-Disposition: form-data; name=\"").append(name).append("\"").append(crlf).append(crlf);
    body.append(value).append(crlf);
}

QByteArray VorsikAPIClient::dictationBody(const QByteArray &pcm, SmartMode mode, const QString &context,
    const QStringList &vocabulary, QByteArrayView boundary)
{
    // Checks the size before anything is allocated.
    const QByteArray wavHeader = WAVEncoder::header(static_cast<quint64>(pcm.size()));

    QByteArray head;
    head.append("--").append(boundary).append(crlf);
    head.append("Content-Disposition: form-data; name=\"audio\"; filename=\"dictation.wav\"").append(crlf);
    head.append("Content-Type: audio/wav").append(crlf).append(crlf);

    QByteArray tail = crlf.toByteArray();
    appendFormField(tail, "mode", rawValue(mode).toUtf8(), boundary);
    appendFormField(tail, "context", context.toUtf8(), boundary);
    appendFormField(tail, "vocabulary", vocabularyJSON(vocabulary), boundary);
    tail.append("--").append(boundary).append("--").append(crlf);

    // One allocation of the final size; the PCM is copied into it once.
    QByteArray body;
    body.reserve(head.size() + wavHeader.size() + pcm.size() + tail.size());
    body.append(head).append(wavHeader).append(QByteArrayView(pcm)).append(tail);
    return body;
}

QCoro::Task<QString> VorsikAPIClient::transcribeAndEdit(
    QByteArray pcmAudio, SmartMode mode, QString context, QStringList vocabulary)
{
    if (pcmAudio.isEmpty())
        throw VorsikAPIError(Case::emptyAudio);
    if (!m_configuration.isConfigured())
        throw VorsikAPIError(Case::notConfigured);

    const QByteArray boundary = newBoundary();
    const QByteArray body = dictationBody(pcmAudio, mode, context, vocabulary, boundary);
    // The body holds the recording now; let its original go.
    pcmAudio = QByteArray();

    const std::shared_ptr<bool> alive = m_alive;
    const QString token = co_await installationToken();
    if (!*alive)
        throw cancelled();

    std::optional<QString> text;
    try {
        text = co_await uploadDictation(body, boundary, token);
    } catch (const VorsikAPIError &error) {
        if (error.errorCase() != Case::unauthorized)
            throw;
    }
    if (!*alive)
        throw cancelled();
    if (text)
        co_return *text;

    // The backend no longer knows this token: register anew and try exactly once more.
    AppSettings::remove(AppSettings::Keys::installationToken);
    const QString freshToken = co_await installationToken();
    if (!*alive)
        throw cancelled();
    co_return co_await uploadDictation(body, boundary, freshToken);
}

void VorsikAPIClient::warmUp()
{
    const std::optional<QUrl> base = m_configuration.baseURL();
    if (!base)
        return;
    // The registration opens the connection itself; a pre-connection beside it would
    // race it and leave a second one.
    if (!cachedToken()) {
        if (!m_registration.isRunning())
            startDetached(registerAhead(), nullptr);
        return;
    }
    if (base->scheme() == u"https"_s) {
        // Offer what the requests themselves offer, so the upload can take this connection.
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setAllowedNextProtocols({ QSslConfiguration::ALPNProtocolHTTP2, QSslConfiguration::NextProtocolHttp1_1 });
        m_session->connectToHostEncrypted(base->host(), static_cast<quint16>(base->port(443)), tls);
    } else {
        m_session->connectToHost(base->host(), static_cast<quint16>(base->port(80)));
    }
}

QCoro::Task<> VorsikAPIClient::registerAhead()
{
    try {
        co_await installationToken(When::ahead);
    } catch (const DescribedError &error) {
        qCDebug(lcServices) << "backend: registering ahead failed:" << error.kind();
    }
}

QCoro::Task<QString> VorsikAPIClient::installationToken(When when)
{
    const std::shared_ptr<bool> alive = m_alive;
    while (m_registration.isRunning()) {
        QFuture<void> registration = m_registration;
        co_await registration;
        if (!*alive)
            throw cancelled();
    }
    if (std::optional<QString> token = cachedToken())
        co_return *token;

    // The promise finishes when this frame ends, after the token is stored.
    QPromise<void> settled;
    m_registration = settled.future();
    settled.start();
    QCoro::Task<QString> registration = registerInstallation(when);
    co_return co_await registration;
}

QCoro::Task<QString> VorsikAPIClient::registerInstallation(When when)
{
    const std::optional<QUrl> url = m_configuration.installationsURL();
    if (!url)
        throw VorsikAPIError(Case::notConfigured);

    QNetworkRequest request(*url);
    request.setRawHeader("Accept", "application/json");
    request.setRawHeader("X-Device-ID", m_configuration.deviceID().toUtf8());
    request.setRawHeader("X-App-Version", m_configuration.appVersion().toUtf8());

    const Transfer transfer = co_await send(std::move(request), QByteArray(), when);
    if (transfer.status < 200 || transfer.status > 299) {
        throw VorsikAPIError(Case::server, failureMessage(transfer.body, u"Ошибка регистрации "_s, transfer.status));
    }
    const std::optional<QString> token = VorsikAPIResponseParser::installationToken(transfer.body);
    if (!token || !isUsableToken(*token))
        throw VorsikAPIError(Case::invalidResponse);
    AppSettings::setString(AppSettings::Keys::installationToken, *token);
    co_return *token;
}

QCoro::Task<QString> VorsikAPIClient::uploadDictation(QByteArray body, QByteArray boundary, QString token)
{
    const std::optional<QUrl> url = m_configuration.dictationsURL();
    if (!url)
        throw VorsikAPIError(Case::notConfigured);

    QNetworkRequest request(*url);
    request.setRawHeader("Content-Type", "multipart/form-data; boundary=" + boundary);
    request.setRawHeader("Accept", "application/json");
    request.setRawHeader("X-Vorsik-Key", token.toUtf8());
    request.setRawHeader("X-Device-ID", m_configuration.deviceID().toUtf8());
    request.setRawHeader("X-App-Version", m_configuration.appVersion().toUtf8());

    const Transfer transfer = co_await send(std::move(request), std::move(body));
    if (transfer.status == 401)
        throw VorsikAPIError(Case::unauthorized);
    if (transfer.status < 200 || transfer.status > 299) {
        throw VorsikAPIError(Case::server, failureMessage(transfer.body, u"Ошибка сервера "_s, transfer.status));
    }
    const QString text = VorsikAPIResponseParser::text(transfer.body).value_or(QString()).trimmed();
    if (text.isEmpty())
        throw VorsikAPIError(Case::invalidResponse);
    co_return text;
}

QCoro::Task<VorsikAPIClient::Transfer> VorsikAPIClient::send(QNetworkRequest request, QByteArray body, When when)
{
    const std::shared_ptr<bool> alive = m_alive;
    request.setTransferTimeout(static_cast<int>(m_requestTimeout.count()));
    auto *device = new SingleUseBody(std::move(body));
    const std::unique_ptr<QNetworkReply, DeleteLater> reply(m_session->post(request, device));
    device->setParent(reply.get());
    QTimer::singleShot(m_resourceTimeout, reply.get(), [reply = reply.get()] { reply->abort(); });
    QElapsedTimer clock;
    clock.start();

    co_await reply.get();
    qCDebug(lcServices) << "backend:" << request.url().path() << "answered after" << clock.elapsed() << "ms";

    if (!*alive)
        throw cancelled();
    if (reply->error() != QNetworkReply::NoError && when == When::ahead)
        qCDebug(lcServices) << "backend:" << request.url().path() << "failed ahead:" << reply->error();
    else if (reply->error() != QNetworkReply::NoError)
        qCWarning(lcServices) << "backend:" << request.url().path() << "failed:" << reply->error();
    if (reply->error() == QNetworkReply::OperationCanceledError)
        throw VorsikAPIError(Case::network, timedOutText());
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!isAnswer(reply->error(), status)) {
        // Qt's own words for what happened before it declined to send the body again.
        if (reply->error() == QNetworkReply::ContentReSendError)
            throw VorsikAPIError(Case::network, QCoreApplication::translate("QHttp", "Connection closed"));
        if (reply->error() != QNetworkReply::NoError)
            throw VorsikAPIError(Case::network, reply->errorString());
        throw VorsikAPIError(Case::invalidResponse);
    }
    co_return Transfer { status.toInt(), reply->readAll() };
}
