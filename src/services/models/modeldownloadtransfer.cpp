#include "services/models/modeldownloader.h"

#include "core/detachedtask.h"
#include "core/logging.h"
#include "services/models/modeldownloader_p.h"
#include "services/models/modelfiles.h"
#include "services/models/modelhubdigest.h"

#include <QDir>
#include <QNetworkAccessManager>
#include <QRegularExpression>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

// The HTTP side of a download: the request (resumed with a range when a part is kept), the
// checks of each answer, the bytes streamed into the part and its hash, and the check at the end.
namespace {

// The hub sends a model to its CDN in one or two hops; more than this is a loop.
constexpr int redirectLimit = 10;

// "bytes 100-199/200" → 100; -1 when absent or malformed.
qint64 rangeStart(const QNetworkReply &reply)
{
    static const QRegularExpression pattern(u"^bytes\\s+(\\d+)-(\\d+)/(\\d+|\\*)$"_s);
    const QRegularExpressionMatch match
        = pattern.match(QString::fromLatin1(reply.rawHeader("Content-Range").trimmed()));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

// "bytes */200", the answer to a range past the end → 200; -1 when absent or malformed.
qint64 completeLength(const QNetworkReply &reply)
{
    static const QRegularExpression pattern(u"^bytes\\s+\\*/(\\d+)$"_s);
    const QRegularExpressionMatch match
        = pattern.match(QString::fromLatin1(reply.rawHeader("Content-Range").trimmed()));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

} // namespace

QNetworkRequest ModelDownloader::modelRequest(const ModelCatalogEntry &entry)
{
    QNetworkRequest request(ModelCatalog::sourceOf(entry));
    // The hub answers with its CDN, on another host; never from HTTPS down to HTTP.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(redirectLimit);
    // Byte ranges and the checksum are of the file itself, never of a compressed form.
    request.setRawHeader("Accept-Encoding", "identity");
    return request;
}

void ModelDownloader::request(const TransferPtr &transfer)
{
    QNetworkRequest request = modelRequest(transfer->entry);
    if (transfer->offset > 0)
        request.setRawHeader("Range", "bytes=" + QByteArray::number(transfer->offset) + '-');
    transfer->answered = false;
    transfer->expected = -1;
    transfer->announced.clear();
    QNetworkReply *reply = m_network->get(request);
    // Bounded, so that each readyRead hands over only what is quick to hash and write.
    reply->setReadBufferSize(4 * ModelFiles::chunkSize);
    transfer->reply = reply;
    std::weak_ptr<Transfer> weak = transfer;
    connect(reply, &QNetworkReply::readyRead, this, [this, weak] {
        if (const TransferPtr current = weak.lock())
            receive(current);
    });
    connect(reply, &QNetworkReply::finished, this, [this, weak] {
        if (const TransferPtr current = weak.lock())
            complete(current);
    });
    connect(reply, &QNetworkReply::redirected, &transfer->idle, qOverload<>(&QTimer::start));
    // The hub names the file's digest on its own answer, the redirect; the CDN's does not repeat it.
    // Each answer's headers show here, the redirect's too (by `redirected` they are gone).
    connect(reply, &QNetworkReply::metaDataChanged, this, [weak, reply] {
        if (const TransferPtr current = weak.lock(); current && current->announced.isEmpty())
            current->announced = ModelHubDigest::announcedBy(*reply);
    });
    transfer->idle.start(m_idleTimeout);
}

bool ModelDownloader::checkAnswer(const TransferPtr &transfer)
{
    transfer->answered = true;
    const QNetworkReply &reply = *transfer->reply;
    const int status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString &name = transfer->entry.name;
    if (transfer->entry.isGguf() && (status == 200 || status == 206 || status == 416) && !checkDigest(transfer))
        return false;
    if (transfer->offset > 0 && status == 416) {
        // Nothing after the part: it may hold the whole model and more. Checked before it goes.
        const qint64 length = completeLength(reply);
        stopReply(*transfer);
        if (length > 0 && length <= transfer->offset) {
            QPointer<ModelDownloader> self(this);
            std::weak_ptr<Transfer> weak = transfer;
            startDetached(finishFromPart(transfer, length), [self, weak](const QString &description) {
                if (const TransferPtr failed = weak.lock(); self && failed)
                    self->fail(failed, description);
            });
        } else {
            restartFromZero(transfer);
        }
        return false;
    }
    if (status == 206 && rangeStart(reply) != transfer->offset) {
        restartFromZero(transfer);
        return false;
    }
    if (status >= 300 && status < 400) {
        // A redirect the network access did not follow: down to HTTP, or one too many.
        fail(transfer,
            reply.error() == QNetworkReply::InsecureRedirectError
                ? u"Сервер моделей перенаправил загрузку с защищённого адреса (HTTPS) на незащищённый (HTTP); "
                  u"загрузка остановлена. Проверьте адрес моделей в настройках Ворсика."_s
                : u"Сервер моделей перенаправляет загрузку по кругу; загрузка остановлена. Попробуйте позже."_s);
        return false;
    }
    if (status == 404) {
        fail(transfer,
            u"Модели «%1» нет на сервере моделей (ответ 404). Проверьте адрес моделей в настройках Ворсика."_s.arg(
                name));
        return false;
    }
    if (status != 200 && status != 206) {
        fail(transfer, u"Сервер моделей ответил ошибкой %1. Попробуйте позже."_s.arg(status));
        return false;
    }
    if (reply.header(QNetworkRequest::ContentTypeHeader).toString().startsWith(u"text/html"_s, Qt::CaseInsensitive)) {
        fail(transfer,
            u"Вместо модели пришла веб-страница: возможно, адрес моделей в настройках Ворсика неверен "
            "или сеть требует входа через браузер."_s);
        return false;
    }
    if (status == 200 && transfer->offset > 0) {
        qCInfo(lcServices) << "the model server ignored the range; downloading" << name << "from the start";
        transfer->part.resize(0);
        transfer->part.seek(0);
        transfer->hash->reset();
        transfer->offset = transfer->progress.received = 0;
        transfer->samples.clear();
    }
    const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid()) {
        transfer->expected = transfer->offset + length.toLongLong();
        if (!transfer->entry.sizeMatches(transfer->expected)) {
            fail(transfer,
                u"Сервер моделей предлагает файл не того размера, что модель «%1» (%2): это не она. Загрузка "
                "остановлена."_s.arg(name, ModelFiles::sizeText(transfer->expected)),
                Part::remove);
            return false;
        }
        transfer->progress.total = transfer->expected;
    }
    return true;
}

void ModelDownloader::restartFromZero(const TransferPtr &transfer)
{
    if (transfer->restarted) {
        fail(transfer, u"Сервер моделей не смог продолжить загрузку. Попробуйте позже."_s);
        return;
    }
    qCInfo(lcServices) << "the model server refused the range; downloading" << transfer->entry.name << "from the start";
    stopReply(*transfer);
    transfer->restarted = true;
    transfer->part.resize(0);
    transfer->part.seek(0);
    transfer->hash->reset();
    transfer->offset = transfer->progress.received = 0;
    transfer->samples.clear();
    request(transfer);
}

void ModelDownloader::receive(const TransferPtr &transfer)
{
    transfer->idle.start(m_idleTimeout);
    if (!transfer->answered && !checkAnswer(transfer))
        return;
    const qint64 limit = transfer->entry.maximumSize();
    while (transfer->reply && transfer->reply->bytesAvailable() > 0) {
        const QByteArray chunk = transfer->reply->read(ModelFiles::chunkSize);
        Progress &progress = transfer->progress;
        if (progress.received == 0 && chunk.startsWith('<')) {
            fail(transfer,
                u"Вместо модели пришла веб-страница: возможно, адрес моделей в настройках Ворсика неверен."_s,
                Part::remove);
            return;
        }
        if (progress.received + chunk.size() > limit) {
            fail(transfer,
                u"Сервер моделей прислал больше данных, чем весит модель «%1»: это не она. Загрузка остановлена."_s.arg(
                    progress.name),
                Part::remove);
            return;
        }
        if (transfer->part.write(chunk) != chunk.size()) {
            fail(transfer,
                u"Не удалось записать модель на диск (%1): возможно, он заполнен. Освободите место и повторите "
                u"загрузку — "
                "она продолжится с этого места."_s.arg(transfer->part.errorString()));
            return;
        }
        transfer->hash->addData(chunk);
        progress.received += chunk.size();
    }
    reportProgress(transfer);
}

void ModelDownloader::complete(const TransferPtr &transfer)
{
    QNetworkReply *reply = transfer->reply;
    transfer->idle.stop();
    const bool hasStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
    if (hasStatus && !transfer->answered && !checkAnswer(transfer))
        return;
    if (transfer->answered) {
        receive(transfer); // what is still buffered
        if (transfer->settled || transfer->reply != reply)
            return;
        transfer->idle.stop();
    }
    const Progress &progress = transfer->progress;
    const QNetworkReply::NetworkError error = reply->error();
    if (error != QNetworkReply::NoError && progress.received > transfer->offset) {
        fail(transfer,
            u"Соединение с сервером моделей оборвалось (загружено %1 из %2). Загруженное сохранено: повторите "
            u"загрузку, "
            "и она продолжится с этого места."_s.arg(
                ModelFiles::sizeText(progress.received), ModelFiles::sizeText(progress.total)));
    } else if (error != QNetworkReply::NoError) {
        fail(transfer,
            u"Не удалось связаться с сервером моделей %1. Проверьте подключение к сети и адрес моделей в настройках Ворсика."_s
                .arg(reply->url().host()));
    } else if (transfer->expected >= 0 && progress.received != transfer->expected) {
        fail(transfer,
            u"Сервер моделей прислал %1 вместо %2. Загруженное сохранено: повторите загрузку."_s.arg(
                ModelFiles::sizeText(progress.received), ModelFiles::sizeText(transfer->expected)));
    } else {
        verify(transfer);
    }
}

void ModelDownloader::verify(const TransferPtr &transfer)
{
    stopReply(*transfer);
    const ModelCatalogEntry &entry = transfer->entry;
    if (transfer->digest.isEmpty() || transfer->hash->result().toHex() != transfer->digest) {
        fail(transfer,
            u"Файл модели повреждён при загрузке (контрольная сумма не совпала); он удалён — попробуйте ещё раз."_s,
            Part::remove);
        return;
    }
    if (const QString failure = ModelFiles::commitInto(transfer->part, m_store.pathOf(entry)); !failure.isEmpty()) {
        fail(transfer, u"Модель «%1» загружена, но её не удалось сохранить: %2."_s.arg(entry.name, failure));
        return;
    }
    QFile::remove(ModelHubDigest::sidecarPathOf(m_store.partialPathOf(entry)));
    transfer->progress.total = transfer->progress.received;
    transfer->progress.remaining = 0s;
    reportProgressNow(transfer);
    qCInfo(lcServices) << "model" << entry.name << "downloaded and verified";
    settle(transfer, Outcome::finished);
}
