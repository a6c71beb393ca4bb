#pragma once

#include "services/models/modeldownloader.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QLockFile>
#include <QNetworkReply>
#include <QPointer>
#include <QPromise>
#include <QTimer>

#include <deque>
#include <limits>
#include <memory>
#include <optional>

// One model's download, shared by the files that run its steps: the downloader's own
// (start, the kept part, the outcome), the HTTP exchange, the hub's digest and the progress.
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
