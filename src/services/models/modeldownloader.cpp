#include "modeldownloader.h"

#include "blockingwork.h"
#include "describederror.h"
#include "detachedtask.h"
#include "logging.h"
#include "modelfiles.h"

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroNetworkReply>

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QLockFile>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QPointer>
#include <QPromise>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTimer>

#include <cmath>
#include <deque>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// Free space left over after a download, for the rest of the system.
constexpr qint64 spaceMargin = qint64(64) << 20;
constexpr auto progressInterval = 250ms;
constexpr auto speedWindow = 5s;
constexpr qint64 mebibyte = qint64(1) << 20, gibibyte = qint64(1) << 30;
// The hub sends a model to its CDN in one or two hops; more than this is a loop.
constexpr int redirectLimit = 10;

qint64 sizeLimit(const ModelCatalogEntry &entry) { return entry.maximumSize(); }

QCryptographicHash::Algorithm algorithmOf(const ModelCatalogEntry &entry)
{
    return entry.isGguf() ? QCryptographicHash::Sha256 : QCryptographicHash::Sha1;
}

// The sidecar beside a GGUF's part: the SHA-256 the hub gave when the part was begun.
QString digestPathOf(const QString &partPath) { return partPath + u".sha256"_s; }

QByteArray readDigest(const QString &partPath)
{
    QFile file(digestPathOf(partPath));
    const QByteArray digest = file.open(QIODevice::ReadOnly) ? file.read(80).trimmed() : QByteArray();
    return ModelDownloader::parseLinkedDigest(digest);
}

bool writeDigest(const QString &partPath, const QByteArray &digest)
{
    QSaveFile file(digestPathOf(partPath));
    return file.open(QIODevice::WriteOnly) && file.write(digest + '\n') == digest.size() + 1 && file.commit();
}

QString decimal(double value) { return QLocale(QLocale::Russian).toString(value, 'f', 1); }

QString durationText(std::chrono::seconds left)
{
    const qint64 seconds = left.count();
    if (seconds < 60)
        return u"%1 с"_s.arg(seconds);
    if (seconds < 600)
        return u"%1 мин %2 с"_s.arg(seconds / 60).arg(seconds % 60);
    if (seconds < 3600)
        return u"%1 мин"_s.arg(seconds / 60);
    return u"%1 ч %2 мин"_s.arg(seconds / 3600).arg(seconds % 3600 / 60);
}

// Runs on a worker: the SHA-1 of a kept part, so that the rest can be added as it
// arrives. Returns how many bytes were hashed; the part is cut back to that.
qint64 hashPart(const QString &path, qint64 limit, std::shared_ptr<QCryptographicHash> hash)
{
    QFile part(path);
    if (!part.open(QIODevice::ReadOnly))
        return 0;
    QByteArray buffer(ModelFiles::chunkSize, Qt::Uninitialized);
    qint64 total = 0;
    for (qint64 read;
         total < limit && (read = part.read(buffer.data(), std::min<qint64>(buffer.size(), limit - total))) > 0;) {
        hash->addData(QByteArrayView(buffer.constData(), read));
        total += read;
    }
    return total;
}

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

QString unknownModel(const QString &name, const QList<ModelCatalogEntry> &catalog)
{
    QStringList names;
    for (const ModelCatalogEntry &entry : catalog)
        names.append(entry.name);
    return u"Модели «%1» нет в списке Ворсика. Есть: %2."_s.arg(name, names.join(u", "_s));
}

} // namespace

QByteArray ModelDownloader::parseLinkedDigest(QByteArray value)
{
    value = value.trimmed();
    if (value.startsWith("W/"))
        value = value.mid(2);
    if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
        value = value.mid(1, value.size() - 2);
    value = value.toLower();
    static const QRegularExpression pattern(u"^[0-9a-f]{64}$"_s);
    return pattern.match(QString::fromLatin1(value)).hasMatch() ? value : QByteArray();
}

QByteArray ModelDownloader::linkedDigest(const QNetworkReply &reply)
{
    return parseLinkedDigest(reply.rawHeader("X-Linked-Etag"));
}

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

QCoro::Task<QByteArray> ModelDownloader::hubDigest(ModelCatalogEntry entry)
{
    QNetworkRequest request = modelRequest(entry);
    request.setTransferTimeout(int(m_idleTimeout.count()));
    QNetworkReply *reply = m_network->head(request);
    auto announced = std::make_shared<QByteArray>();
    connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, announced] {
        if (announced->isEmpty())
            *announced = linkedDigest(*reply);
    });
    co_await qCoro(reply).waitForFinished();
    reply->deleteLater();
    if (announced->isEmpty())
        *announced = linkedDigest(*reply);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() != QNetworkReply::NoError && status == 0)
        throw DescribedError(
            u"Не удалось связаться с сервером моделей %1, чтобы узнать контрольную сумму модели «%2». Проверьте "
            "подключение к сети."_s.arg(reply->url().host(), entry.name));
    if (announced->isEmpty())
        throw DescribedError(u"Сервер моделей не сообщил контрольную сумму модели «%1» (ответ %2); без неё файл "
                             "не проверить. Попробуйте позже."_s.arg(entry.name)
                                 .arg(status));
    co_return *announced;
}

struct ModelDownloader::Transfer : std::enable_shared_from_this<Transfer> {
    ModelCatalogEntry entry;
    Progress progress;
    QFile part;
    std::shared_ptr<QCryptographicHash> hash;
    // The digest the file must have: the catalog's SHA-1, or the hub's SHA-256 kept beside the part.
    QByteArray digest;
    QByteArray announced; // the hub's SHA-256 as the current request's answers gave it
    std::unique_ptr<QLockFile> lock;
    QPointer<QNetworkReply> reply;
    QTimer idle; // no byte for this long: the server is gone
    qint64 offset = 0; // bytes of the part before the current answer's body
    qint64 expected = -1; // the whole file as the server announced it; -1 when it did not
    bool answered = false; // the current answer's status and headers are checked
    bool restarted = false; // it already fell back to a download from the first byte
    bool settled = false;
    std::optional<QString> failure; // why download() throws
    QElapsedTimer clock;
    std::deque<std::pair<qint64, qint64>> samples; // (ms since start, bytes received) for the speed
    qint64 lastProgressMs = std::numeric_limits<qint64>::min() / 2; // the first report goes out at once
    QPromise<void> done;
};

int ModelDownloader::Progress::percent() const
{
    return total > 0 ? int(std::clamp<qint64>(received * 100 / total, 0, 100)) : 0;
}

QString ModelDownloader::Progress::text() const
{
    QStringList parts { u"%1 %"_s.arg(percent()) };
    if (total >= gibibyte)
        parts.append(u"%1 из %2 ГБ"_s.arg(decimal(double(received) / gibibyte), decimal(double(total) / gibibyte)));
    else
        parts.append(
            u"%1 из %2 МБ"_s.arg(qRound64(double(received) / mebibyte)).arg(qRound64(double(total) / mebibyte)));
    if (bytesPerSecond >= mebibyte)
        parts.append(u"%1 МБ/с"_s.arg(decimal(bytesPerSecond / mebibyte)));
    else if (bytesPerSecond > 0)
        parts.append(u"%1 КБ/с"_s.arg(qRound(bytesPerSecond / 1024)));
    if (remaining)
        parts.append(u"осталось "_s + durationText(*remaining));
    return parts.join(u" · "_s);
}

ModelDownloader::ModelDownloader(ModelStore &store, QObject *parent)
    : QObject(parent)
    , m_store(store)
    , m_network(new QNetworkAccessManager(this))
{
    QNetworkProxyFactory::setUseSystemConfiguration(true);
}

ModelDownloader::~ModelDownloader()
{
    // Quitting mid-download: the parts stay for the next start; awaiting callers hear why.
    const QList<TransferPtr> transfers = m_transfers.values();
    for (const TransferPtr &transfer : transfers)
        settle(transfer, Outcome::cancelled,
            u"Загрузка модели «%1» прервана: Ворсик закрывается."_s.arg(transfer->entry.name), false);
}

void ModelDownloader::start(const QString &name)
{
    if (m_transfers.contains(name))
        return;
    const auto entry = m_store.entry(name);
    if (!entry) {
        Q_EMIT failed(name, unknownModel(name, m_store.catalog()));
        return;
    }
    begin(*entry);
}

QCoro::Task<> ModelDownloader::download(QString name)
{
    TransferPtr transfer = m_transfers.value(name);
    if (!transfer) {
        const auto entry = m_store.entry(name);
        if (!entry)
            throw DescribedError(unknownModel(name, m_store.catalog()));
        transfer = begin(*entry);
    }
    co_await transfer->done.future();
    if (transfer->failure)
        throw DescribedError(*transfer->failure);
}

void ModelDownloader::cancel(const QString &name)
{
    if (const TransferPtr transfer = m_transfers.value(name))
        settle(transfer, Outcome::cancelled, u"Загрузка модели «%1» отменена."_s.arg(name));
}

bool ModelDownloader::isDownloading(QStringView name) const { return m_transfers.contains(name.toString()); }

std::optional<ModelDownloader::Progress> ModelDownloader::currentProgress() const
{
    for (const ModelCatalogEntry &entry : m_store.catalog()) {
        if (const auto found = progress(entry.name))
            return found;
    }
    return std::nullopt;
}

std::optional<ModelDownloader::Progress> ModelDownloader::progress(QStringView name) const
{
    const TransferPtr transfer = m_transfers.value(name.toString());
    return transfer ? std::optional(transfer->progress) : std::nullopt;
}

ModelDownloader::TransferPtr ModelDownloader::begin(const ModelCatalogEntry &entry)
{
    auto transfer = std::make_shared<Transfer>();
    transfer->entry = entry;
    transfer->hash = std::make_shared<QCryptographicHash>(algorithmOf(entry));
    transfer->digest = entry.sha1;
    transfer->progress = { .name = entry.name, .total = entry.size };
    transfer->done.start();
    transfer->clock.start();
    transfer->idle.setSingleShot(true);
    connect(&transfer->idle, &QTimer::timeout, this, [this, raw = transfer.get()] {
        fail(raw->shared_from_this(),
            u"Сервер моделей не отвечает уже %1 с; загрузка остановлена. Загруженное сохранено — попробуйте позже, "
            "загрузка продолжится с этого места."_s.arg(
                std::chrono::duration_cast<std::chrono::seconds>(m_idleTimeout).count()));
    });
    m_transfers.insert(entry.name, transfer);
    QPointer<ModelDownloader> self(this);
    std::weak_ptr<Transfer> weak = transfer;
    startDetached(run(transfer), [self, weak](const QString &description) {
        if (const TransferPtr failed = weak.lock(); self && failed)
            self->fail(failed, description);
    });
    return transfer;
}

QCoro::Task<> ModelDownloader::run(TransferPtr transfer)
{
    QPointer<ModelDownloader> self(this);
    const ModelCatalogEntry entry = transfer->entry;
    const QString directory = m_store.directory();
    if (!QDir().mkpath(directory)) {
        fail(transfer, u"Не удалось создать папку моделей %1."_s.arg(QDir::toNativeSeparators(directory)));
        co_return;
    }
    const QString partPath = m_store.partialPathOf(entry);
    transfer->lock = std::make_unique<QLockFile>(partPath + u".lock"_s);
    // A download outlasts the default 30 s after which a lock counts as stale; a lock
    // whose process is gone is still taken over.
    transfer->lock->setStaleLockTime(0ms);
    if (!transfer->lock->tryLock(0ms)) {
        const bool otherProcess = transfer->lock->error() == QLockFile::LockFailedError;
        transfer->lock.reset();
        fail(transfer,
            otherProcess ? u"Эта модель уже загружается другим процессом Ворсика."_s
                         : u"Нет доступа к папке моделей %1."_s.arg(QDir::toNativeSeparators(directory)));
        co_return;
    }
    if (m_store.isInstalled(entry.name)) {
        settle(transfer, Outcome::finished);
        co_return;
    }

    qint64 kept = QFileInfo(partPath).isFile() ? QFileInfo(partPath).size() : 0;
    if (entry.isGguf()) {
        // A part is only worth resuming with the digest it was begun against.
        transfer->digest = readDigest(partPath);
        if (transfer->digest.isEmpty())
            kept = 0;
    }
    if (kept > 0) {
        transfer->progress.received = std::min(kept, sizeLimit(entry));
        reportProgress(transfer, true);
        // Named, not temporary: GCC 12 destroys some temporaries of a co_await expression twice.
        QFuture<qint64> hashed = BlockingWork::run(
            [partPath, limit = sizeLimit(entry), hash = transfer->hash] { return hashPart(partPath, limit, hash); });
        kept = co_await hashed;
        if (!self || transfer->settled)
            co_return;
    }
    transfer->part.setFileName(partPath);
    // Unbuffered, so that a full disk shows at the write that hit it.
    if (!transfer->part.open(QIODevice::ReadWrite | QIODevice::Unbuffered) || !transfer->part.resize(kept)
        || !transfer->part.seek(kept)) {
        fail(transfer,
            u"Не удалось открыть файл %1 для записи: %2."_s.arg(
                QDir::toNativeSeparators(partPath), transfer->part.errorString()));
        co_return;
    }
    transfer->offset = transfer->progress.received = kept;
    // The whole model already, kept when it could not be moved into place: nothing to ask for.
    if (kept > 0 && transfer->hash->result().toHex() == transfer->digest) {
        verify(transfer);
        co_return;
    }
    const qint64 needed = sizeLimit(entry) - kept + spaceMargin, available = ModelFiles::freeBytes(directory);
    if (available < needed) {
        fail(transfer,
            u"Для модели «%1» не хватает места на диске: нужно ещё %2, свободно %3. Освободите место и попробуйте снова."_s
                .arg(entry.name, ModelFiles::sizeText(needed), ModelFiles::sizeText(available)));
        co_return;
    }
    request(transfer);
}

QCoro::Task<> ModelDownloader::finishFromPart(TransferPtr transfer, qint64 length)
{
    QPointer<ModelDownloader> self(this);
    auto hash = std::make_shared<QCryptographicHash>(algorithmOf(transfer->entry));
    QFuture<qint64> hashed
        = BlockingWork::run([path = transfer->part.fileName(), length, hash] { return hashPart(path, length, hash); });
    const qint64 read = co_await hashed;
    if (!self || transfer->settled)
        co_return;
    if (read != length || hash->result().toHex() != transfer->digest) {
        restartFromZero(transfer);
        co_return;
    }
    qCInfo(lcServices) << "the kept part of" << transfer->entry.name << "holds the whole model; the rest is cut off";
    transfer->part.resize(length);
    transfer->hash = hash;
    transfer->offset = transfer->progress.received = length;
    verify(transfer);
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
            current->announced = linkedDigest(*reply);
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

bool ModelDownloader::checkDigest(const TransferPtr &transfer)
{
    if (transfer->announced.isEmpty())
        transfer->announced = linkedDigest(*transfer->reply);
    const QString partPath = m_store.partialPathOf(transfer->entry);
    if (transfer->announced.isEmpty()) {
        fail(transfer,
            u"Сервер моделей не сообщил контрольную сумму модели «%1», а без неё загруженное не проверить; "
            "загрузка остановлена, ничего не установлено. Попробуйте позже или проверьте адрес сервера моделей "
            "в настройках Ворсика."_s.arg(transfer->entry.name));
        return false;
    }
    if (transfer->announced == transfer->digest)
        return true;
    // The first answer for this part, or the hub has another file under the name now: what is
    // kept belongs to the old one, so the download starts over against the new digest.
    const bool changed = !transfer->digest.isEmpty();
    transfer->digest = transfer->announced;
    if (!writeDigest(partPath, transfer->digest)) {
        fail(transfer, u"Не удалось записать в папку моделей %1."_s.arg(QDir::toNativeSeparators(m_store.directory())));
        return false;
    }
    if (changed && transfer->offset > 0) {
        qCInfo(lcServices) << "the hub's digest of" << transfer->entry.name << "changed; downloading it again";
        restartFromZero(transfer);
        return false;
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
    const qint64 limit = sizeLimit(transfer->entry);
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
    reportProgress(transfer, false);
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
    QFile::remove(digestPathOf(m_store.partialPathOf(entry)));
    transfer->progress.total = transfer->progress.received;
    transfer->progress.remaining = 0s;
    reportProgress(transfer, true);
    qCInfo(lcServices) << "model" << entry.name << "downloaded and verified";
    settle(transfer, Outcome::finished);
}

void ModelDownloader::reportProgress(const TransferPtr &transfer, bool force)
{
    const qint64 now = transfer->clock.elapsed();
    if (!force && now - transfer->lastProgressMs < progressInterval.count())
        return;
    transfer->lastProgressMs = now;
    Progress &progress = transfer->progress;
    auto &samples = transfer->samples;
    samples.emplace_back(now, progress.received);
    while (samples.size() > 2 && now - samples[1].first >= qint64(std::chrono::milliseconds(speedWindow).count()))
        samples.pop_front();
    const auto [sinceMs, sinceBytes] = samples.front();
    // Under a second of samples says little about the speed.
    if (now - sinceMs >= 1000) {
        progress.bytesPerSecond = double(progress.received - sinceBytes) * 1000 / double(now - sinceMs);
        progress.remaining.reset();
        if (progress.bytesPerSecond > 0)
            progress.remaining = std::chrono::seconds(qint64(
                std::ceil(double(std::max<qint64>(0, progress.total - progress.received)) / progress.bytesPerSecond)));
    }
    Q_EMIT progressChanged(progress);
}

void ModelDownloader::fail(const TransferPtr &transfer, const QString &message, Part part)
{
    if (transfer->settled)
        return;
    if (part == Part::remove) {
        transfer->part.close();
        QFile::remove(m_store.partialPathOf(transfer->entry));
        QFile::remove(digestPathOf(m_store.partialPathOf(transfer->entry)));
    }
    qCWarning(lcServices) << "model download of" << transfer->entry.name << "failed:" << message;
    settle(transfer, Outcome::failed, message);
}

void ModelDownloader::settle(const TransferPtr &transfer, Outcome outcome, const QString &message, bool notify)
{
    if (transfer->settled)
        return;
    transfer->settled = true;
    stopReply(*transfer);
    transfer->idle.stop();
    if (transfer->part.isOpen()) {
        const bool empty = transfer->part.size() == 0; // nothing worth resuming from
        transfer->part.close();
        if (empty) {
            transfer->part.remove();
            QFile::remove(digestPathOf(transfer->part.fileName()));
        }
    }
    transfer->lock.reset(); // unlocks: removes the lock file
    if (outcome != Outcome::finished)
        transfer->failure = message;
    const QString name = transfer->entry.name;
    if (m_transfers.value(name) == transfer)
        m_transfers.remove(name);
    transfer->done.finish();
    if (!notify)
        return;
    switch (outcome) {
    case Outcome::finished:
        Q_EMIT finished(name);
        break;
    case Outcome::failed:
        Q_EMIT failed(name, message);
        break;
    case Outcome::cancelled:
        Q_EMIT cancelled(name);
        break;
    }
}

void ModelDownloader::stopReply(Transfer &transfer)
{
    if (QNetworkReply *reply = transfer.reply) {
        transfer.reply = nullptr;
        reply->disconnect(this);
        reply->disconnect(&transfer.idle);
        // Deleting a reply drops its connection. An abort() here could race an error the
        // network thread has already queued for it, which Qt reports as an internal problem.
        reply->deleteLater();
    }
}
