#pragma once

#include <QByteArray>
#include <QString>

class QNetworkReply;

// The SHA-256 the model hub names for a GGUF ("X-Linked-Etag" on its answer), and the sidecar
// that keeps it beside a part ("<part>.sha256") so that a resumed download is checked against
// the digest it was begun with.
namespace ModelHubDigest {

// "W/\"<64 hex>\"" and the like → the lower-case hex; empty when it is not a SHA-256.
QByteArray parse(QByteArray value);
// What `reply`'s headers name; empty when none.
QByteArray announcedBy(const QNetworkReply &reply);

QString sidecarPathOf(const QString &partPath);
// The digest kept beside `partPath`; empty when there is none that parses.
QByteArray readSidecar(const QString &partPath);
bool writeSidecar(const QString &partPath, const QByteArray &digest);

} // namespace ModelHubDigest
