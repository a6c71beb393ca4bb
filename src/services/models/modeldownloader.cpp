#include "services/models/modeldownloader.h"

#include "core/blockingwork.h"
#include "core/describederror.h"
#include "core/detachedtask.h"
#include "core/logging.h"
#include "services/models/modeldownloader_p.h"
#include "services/models/modelfiles.h"
#include "services/models/modelhubdigest.h"

#include <QCoro/QCoroFuture>

#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// Free space left over after a download, for the rest of the system.
constexpr qint64 spaceMargin = qint64(64) << 20;

QCryptographicHash::Algorithm algorithmOf(const ModelCatalogEntry &entry)
{
    return entry.isGguf() ? QCryptographicHash::Sha256 : QCryptographicHash::Sha1;
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

QString unknownModel(const QString &name, const QList<ModelCatalogEntry> &catalog)
{
    QStringList names;
    for (const ModelCatalogEntry &entry : catalog)
        names.append(entry.name);
    return u"Модели «%1» нет в списке Ворсика. Есть: %2."_s.arg(name, names.join(u", "_s));
}

} // namespace

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
            u"Загрузка модели «%1» прервана: Ворсик закрывается."_s.arg(transfer->entry.name), Notify::nobody);
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
        transfer->digest = ModelHubDigest::readSidecar(partPath);
        if (transfer->digest.isEmpty())
            kept = 0;
    }
    if (kept > 0) {
        transfer->progress.received = std::min(kept, entry.maximumSize());
        reportProgressNow(transfer);
        // Named, not temporary (GCC 12: docs/architecture.md, "Coroutines and GCC 12").
        QFuture<qint64> hashed = BlockingWork::run(
            [partPath, limit = entry.maximumSize(), hash = transfer->hash] { return hashPart(partPath, limit, hash); });
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
    const qint64 needed = entry.maximumSize() - kept + spaceMargin, available = ModelFiles::freeBytes(directory);
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

void ModelDownloader::fail(const TransferPtr &transfer, const QString &message, Part part)
{
    if (transfer->settled)
        return;
    if (part == Part::remove) {
        transfer->part.close();
        QFile::remove(m_store.partialPathOf(transfer->entry));
        QFile::remove(ModelHubDigest::sidecarPathOf(m_store.partialPathOf(transfer->entry)));
    }
    qCWarning(lcServices) << "model download of" << transfer->entry.name << "failed:" << message;
    settle(transfer, Outcome::failed, message);
}

void ModelDownloader::settle(const TransferPtr &transfer, Outcome outcome, const QString &message, Notify notify)
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
            QFile::remove(ModelHubDigest::sidecarPathOf(transfer->part.fileName()));
        }
    }
    transfer->lock.reset(); // unlocks: removes the lock file
    if (outcome != Outcome::finished)
        transfer->failure = message;
    const QString name = transfer->entry.name;
    if (m_transfers.value(name) == transfer)
        m_transfers.remove(name);
    transfer->done.finish();
    if (notify == Notify::nobody)
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
