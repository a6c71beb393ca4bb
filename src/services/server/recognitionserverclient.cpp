#include "services/server/recognitionserverclient.h"

#include "audio/wavencoder.h"
#include "core/logging.h"

#include <QHostAddress>
#include <QHttpMultiPart>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QTimer>
#include <QtEndian>

#include <QCoro/QCoroNetworkReply>
#include <QCoro/QCoroTimer>

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;
using Case = RecognitionServerErrorCase;

namespace {

constexpr int sampleRate = 16000;
// Below this a stretch the server refuses as too large is not halved again.
constexpr std::size_t smallestSplit = sampleRate * 2;
constexpr std::chrono::seconds longestRetryWait { 10 };

struct DeleteLater {
    void operator()(QObject *object) const { object->deleteLater(); }
};

bool isLoopback(const QString &host)
{
    if (host.compare(u"localhost"_s, Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

// The point of least sound in the middle third, so a word is not cut in two.
std::size_t quietestMiddle(std::span<const float> samples)
{
    constexpr std::size_t frame = sampleRate / 50;
    std::size_t best = samples.size() / 2;
    float bestEnergy = INFINITY;
    for (std::size_t at = samples.size() / 3; at + frame <= samples.size() * 2 / 3; at += frame) {
        float energy = 0;
        for (std::size_t i = at; i < at + frame; ++i)
            energy += samples[i] * samples[i];
        if (energy < bestEnergy) {
            bestEnergy = energy;
            best = at + frame / 2;
        }
    }
    return best;
}

std::optional<std::chrono::seconds> retryAfter(const QNetworkReply &reply)
{
    bool ok = false;
    const int seconds = reply.rawHeader("Retry-After").toInt(&ok);
    if (!ok || seconds < 0)
        return std::nullopt;
    return std::chrono::seconds(seconds);
}

} // namespace

QByteArray wav16kHz(std::span<const float> samples)
{
    QByteArray wav = WAVEncoder::header(samples.size() * 2, sampleRate);
    const qsizetype start = wav.size();
    wav.resize(start + qsizetype(samples.size() * 2));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const float clipped = std::clamp(samples[i], -1.0f, 1.0f);
        qToLittleEndian(qint16(std::lround(clipped * 32767.0f)), wav.data() + start + 2 * i);
    }
    return wav;
}

RecognitionServerClient::RecognitionServerClient(Settings settings)
    : m_settings(std::move(settings))
    , m_manager(std::make_unique<QNetworkAccessManager>())
{
}

RecognitionServerClient::~RecognitionServerClient()
{
    *m_alive = false;
    abort();
}

std::optional<RecognitionServerError> RecognitionServerClient::checkAddress(const QUrl &url, bool allowUnencrypted)
{
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() || (scheme != u"https"_s && scheme != u"http"_s))
        return RecognitionServerError(Case::badAddress, url.toDisplayString());
    if (scheme == u"http"_s && !allowUnencrypted && !isLoopback(url.host()))
        return RecognitionServerError(Case::unencrypted, url.toDisplayString());
    return std::nullopt;
}

QString RecognitionServerClient::host() const
{
    return m_settings.url.port() < 0 ? m_settings.url.host()
                                     : u"%1:%2"_s.arg(m_settings.url.host()).arg(m_settings.url.port());
}

QNetworkRequest RecognitionServerClient::request(const QString &endpoint)
{
    if (const std::optional<RecognitionServerError> problem = checkAddress(m_settings.url, m_settings.allowUnencrypted))
        throw *problem;
    QUrl url = m_settings.url;
    QString path = url.path();
    while (path.endsWith(u'/'))
        path.chop(1);
    url.setPath(path + (path.endsWith(u"/v1"_s) ? QString() : u"/v1"_s) + u'/' + endpoint);
    QNetworkRequest request(url);
    if (!m_key.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + m_key.toUtf8());
    if (!m_settings.caFile.isEmpty()) {
        if (!m_tls) {
            QList<QSslCertificate> authorities = QSslCertificate::fromPath(m_settings.caFile, QSsl::Pem);
            if (authorities.isEmpty())
                authorities = QSslCertificate::fromPath(m_settings.caFile, QSsl::Der);
            if (authorities.isEmpty())
                throw RecognitionServerError(Case::caFileUnreadable, m_settings.caFile);
            QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
            tls.addCaCertificates(authorities);
            m_tls = tls;
        }
        request.setSslConfiguration(*m_tls);
    }
    return request;
}

QCoro::Task<QStringList> RecognitionServerClient::models()
{
    QNetworkRequest get = request(u"models"_s);
    const std::shared_ptr<bool> alive = m_alive;
    const std::unique_ptr<QNetworkReply, DeleteLater> reply(m_manager->get(get));
    auto timedOut = std::make_shared<bool>(false);
    QTimer::singleShot(m_settings.probeDeadline, reply.get(), [reply = reply.get(), timedOut] {
        *timedOut = true;
        reply->abort();
    });
    co_await reply.get();
    if (!*alive)
        throw RecognitionServerError(Case::connectionLost);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 401 || status == 403)
        throw RecognitionServerError(Case::unauthorized, QString::number(status));
    if (status == 0) {
        qCWarning(lcServices) << "server: no list of models:" << reply->error();
        if (reply->error() == QNetworkReply::SslHandshakeFailedError)
            throw RecognitionServerError(Case::untrusted, host());
        throw RecognitionServerError(Case::unreachable, host());
    }
    QStringList names;
    // A server without the list (404) still recognises: the model is then the user's word.
    for (const QJsonValue &model : QJsonDocument::fromJson(reply->readAll()).object().value(u"data"_s).toArray()) {
        if (const QString id = model.toObject().value(u"id"_s).toString(); !id.isEmpty())
            names.append(id);
    }
    co_return names;
}

QCoro::Task<QString> RecognitionServerClient::recognise(std::vector<float> samples, QString prompt)
{
    co_return co_await recogniseSpan(samples, std::move(prompt));
}

QCoro::Task<QString> RecognitionServerClient::recogniseSpan(std::span<const float> samples, QString prompt)
{
    const std::shared_ptr<bool> alive = m_alive;
    const double seconds = double(samples.size()) / sampleRate;
    const auto deadline = m_settings.deadlineBase
        + std::chrono::milliseconds(qint64(seconds * m_settings.deadlinePerAudioSecond * 1000));
    const QByteArray wav = wav16kHz(samples);
    Answer answer;
    for (int attempt = 0; attempt < 2; ++attempt) {
        answer = co_await exchange(request(u"audio/transcriptions"_s), wav, prompt, deadline);
        if (!*alive)
            throw RecognitionServerError(Case::connectionLost);
        const bool transient = answer.status == 429 || answer.status >= 500
            || (answer.status == 0 && !answer.timedOut && answer.error != QNetworkReply::SslHandshakeFailedError
                && answer.error != QNetworkReply::OperationCanceledError);
        if (!transient || attempt == 1)
            break;
        const std::chrono::milliseconds wait = answer.retryAfter
            ? std::min<std::chrono::milliseconds>(*answer.retryAfter, longestRetryWait)
            : m_settings.retryDelay;
        qCWarning(lcServices) << "server: status" << answer.status << answer.error << "- trying again in"
                              << wait.count() << "ms";
        co_await QCoro::sleepFor(wait);
        if (!*alive)
            throw RecognitionServerError(Case::connectionLost);
    }

    if (answer.status >= 200 && answer.status < 300) {
        const QJsonDocument document = QJsonDocument::fromJson(answer.body);
        const QJsonValue text = document.object().value(u"text"_s);
        if (!text.isString())
            throw RecognitionServerError(Case::badAnswer);
        co_return text.toString().trimmed();
    }
    if (answer.status == 413 && samples.size() >= smallestSplit) {
        const std::size_t middle = quietestMiddle(samples);
        const QString first = co_await recogniseSpan(samples.first(middle), prompt);
        const QString second = co_await recogniseSpan(samples.subspan(middle), (prompt + u' ' + first).trimmed());
        co_return (first + u' ' + second).trimmed();
    }
    switch (answer.status) {
    case 0:
        if (answer.timedOut)
            throw RecognitionServerError(Case::tooSlow, QString::number((deadline.count() + 999) / 1000));
        if (answer.error == QNetworkReply::SslHandshakeFailedError)
            throw RecognitionServerError(Case::untrusted, host());
        throw RecognitionServerError(Case::connectionLost);
    case 401:
    case 403:
        throw RecognitionServerError(Case::unauthorized, QString::number(answer.status));
    case 404:
        throw RecognitionServerError(Case::unknownModel, m_settings.model);
    case 413:
        throw RecognitionServerError(Case::tooLarge);
    case 429:
        throw RecognitionServerError(Case::busy);
    default:
        throw RecognitionServerError(Case::serverFailed, QString::number(answer.status));
    }
}

QCoro::Task<RecognitionServerClient::Answer> RecognitionServerClient::exchange(
    QNetworkRequest request, QByteArray wav, QString prompt, std::chrono::milliseconds deadline)
{
    auto *form = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    const auto field = [form](const QByteArray &name, const QByteArray &value) {
        QHttpPart part;
        part.setHeader(QNetworkRequest::ContentDispositionHeader, QByteArray("form-data; name=\"" + name + '"'));
        part.setBody(value);
        form->append(part);
    };
    QHttpPart file;
    file.setHeader(
        QNetworkRequest::ContentDispositionHeader, QByteArray(R"(form-data; name="file"; filename="speech.wav")"));
    file.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("audio/wav"));
    file.setBody(wav);
    form->append(file);
    field("model", m_settings.model.toUtf8());
    if (!m_settings.language.isEmpty() && m_settings.language != u"auto"_s)
        field("language", m_settings.language.toUtf8());
    if (!prompt.isEmpty())
        field("prompt", prompt.toUtf8());
    field("response_format", "json");

    const std::unique_ptr<QNetworkReply, DeleteLater> reply(m_manager->post(request, form));
    form->setParent(reply.get());
    auto timedOut = std::make_shared<bool>(false);
    QTimer::singleShot(deadline, reply.get(), [reply = reply.get(), timedOut] {
        *timedOut = true;
        reply->abort();
    });
    co_await reply.get();
    Answer answer;
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.error = reply->error();
    answer.timedOut = *timedOut;
    answer.retryAfter = retryAfter(*reply);
    answer.body = reply->isOpen() ? reply->readAll() : QByteArray();
    co_return answer;
}

void RecognitionServerClient::abort()
{
    for (QNetworkReply *reply : m_manager->findChildren<QNetworkReply *>())
        reply->abort();
}
