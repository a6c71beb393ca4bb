#include "services/models/modelhubdigest.h"

#include "core/describederror.h"
#include "core/logging.h"
#include "services/models/modeldownloader.h"
#include "services/models/modeldownloader_p.h"

#include <QCoro/QCoroNetworkReply>

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSaveFile>

using namespace Qt::StringLiterals;

namespace ModelHubDigest {

QByteArray parse(QByteArray value)
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

QByteArray announcedBy(const QNetworkReply &reply) { return parse(reply.rawHeader("X-Linked-Etag")); }

QString sidecarPathOf(const QString &partPath) { return partPath + u".sha256"_s; }

QByteArray readSidecar(const QString &partPath)
{
    QFile file(sidecarPathOf(partPath));
    const QByteArray digest = file.open(QIODevice::ReadOnly) ? file.read(80).trimmed() : QByteArray();
    return parse(digest);
}

bool writeSidecar(const QString &partPath, const QByteArray &digest)
{
    QSaveFile file(sidecarPathOf(partPath));
    return file.open(QIODevice::WriteOnly) && file.write(digest + '\n') == digest.size() + 1 && file.commit();
}

} // namespace ModelHubDigest

QCoro::Task<QByteArray> ModelDownloader::hubDigest(ModelCatalogEntry entry)
{
    QNetworkRequest request = modelRequest(entry);
    request.setTransferTimeout(int(m_idleTimeout.count()));
    QNetworkReply *reply = m_network->head(request);
    auto announced = std::make_shared<QByteArray>();
    connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, announced] {
        if (announced->isEmpty())
            *announced = ModelHubDigest::announcedBy(*reply);
    });
    co_await qCoro(reply).waitForFinished();
    reply->deleteLater();
    if (announced->isEmpty())
        *announced = ModelHubDigest::announcedBy(*reply);
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

bool ModelDownloader::checkDigest(const TransferPtr &transfer)
{
    if (transfer->announced.isEmpty())
        transfer->announced = ModelHubDigest::announcedBy(*transfer->reply);
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
    if (!ModelHubDigest::writeSidecar(partPath, transfer->digest)) {
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
