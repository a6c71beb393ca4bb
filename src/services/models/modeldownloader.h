#pragma once

#include "services/models/modelstore.h"

#include <QHash>
#include <QObject>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <chrono>
#include <memory>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

// Downloads catalog models into a store from ModelCatalog::sourceOf() (read at the start of
// each download), following redirects to other hosts but not from HTTPS to HTTP. A GGUF is
// checked against the SHA-256 the hub names in the answer ("X-Linked-Etag"; on the redirect to
// its CDN), kept beside the part as "<part>.sha256" so that a resumed download is checked
// against the same one; without it the download fails and nothing is installed. A kept ".part" that is already the
// model is moved into place without a request; any other is resumed with a Range request. Checks free space first,
// honours the system proxy, verifies the SHA-1 while the bytes stream in and moves the file into place only on a match.
// Never reads past the catalog size. One download per model, also across processes (a lock file beside the part). Lives
// on the main thread; nothing blocks it.
class ModelDownloader : public QObject {
    Q_OBJECT

public:
    struct Progress {
        QString name;
        qint64 received = 0; // bytes on disk, including a resumed part
        qint64 total = 0; // the expected size
        double bytesPerSecond = 0; // recent speed; 0 until known
        std::optional<std::chrono::seconds> remaining {}; // none until the speed is known
        int percent() const;
        // "45 % · 210 из 466 МБ · 5,2 МБ/с · осталось 49 с", for every place that shows it.
        QString text() const;
    };

    explicit ModelDownloader(ModelStore &store, QObject *parent = nullptr);
    ~ModelDownloader() override;

    ModelStore &store() const { return m_store; }

    // Starts downloading a catalog model; does nothing when it is already under way.
    // The outcome arrives through finished(), failed() or cancelled().
    void start(const QString &name);
    // The same, awaited: resumes once the model is installed; throws DescribedError
    // (Russian message) when it fails or is cancelled. Joins a download already under way.
    QCoro::Task<> download(QString name);
    // Stops a download; its part stays for the next start.
    void cancel(const QString &name);

    bool isDownloading(QStringView name) const;
    // The download under way, if any (the first one when there are several).
    std::optional<Progress> currentProgress() const;
    std::optional<Progress> progress(QStringView name) const;

    // The hub's SHA-256 of a GGUF entry, asked with a HEAD request; throws DescribedError
    // (Russian) without a network or when the hub names none.
    QCoro::Task<QByteArray> hubDigest(ModelCatalogEntry entry);

    // How long the server may stay silent before a download fails (30 s; tests shorten it).
    void setIdleTimeout(std::chrono::milliseconds timeout) { m_idleTimeout = timeout; }

Q_SIGNALS:
    void progressChanged(const ModelDownloader::Progress &progress);
    void finished(const QString &name); // verified and in place
    void failed(const QString &name, const QString &message); // Russian, for the user
    void cancelled(const QString &name);

private:
    struct Transfer;
    using TransferPtr = std::shared_ptr<Transfer>;
    enum class Outcome { finished, failed, cancelled };
    enum class Notify { listeners, nobody };
    enum class Part { keep, remove };

    TransferPtr begin(const ModelCatalogEntry &entry);
    QCoro::Task<> run(TransferPtr transfer);
    void request(const TransferPtr &transfer);
    bool checkAnswer(const TransferPtr &transfer);
    bool checkDigest(const TransferPtr &transfer);
    static QNetworkRequest modelRequest(const ModelCatalogEntry &entry);
    void restartFromZero(const TransferPtr &transfer);
    // The part's first `length` bytes, if they are the model, go into place; else it starts over.
    QCoro::Task<> finishFromPart(TransferPtr transfer, qint64 length);
    void receive(const TransferPtr &transfer);
    void complete(const TransferPtr &transfer);
    void verify(const TransferPtr &transfer);
    // At most every quarter of a second: the bytes arrive far more often than anyone reads them.
    void reportProgress(const TransferPtr &transfer);
    void reportProgressNow(const TransferPtr &transfer);
    void fail(const TransferPtr &transfer, const QString &message, Part part = Part::keep);
    void settle(
        const TransferPtr &transfer, Outcome outcome, const QString &message = {}, Notify notify = Notify::listeners);
    void stopReply(Transfer &transfer);

    ModelStore &m_store;
    QNetworkAccessManager *m_network = nullptr;
    QHash<QString, TransferPtr> m_transfers;
    std::chrono::milliseconds m_idleTimeout { std::chrono::seconds(30) };
};
