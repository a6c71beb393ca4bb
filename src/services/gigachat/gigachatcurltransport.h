#pragma once

#include "core/describederror.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <optional>
#include <utility>

// Every HTTPS exchange with GigaChat runs the system's curl with a private CA
// file holding only the two embedded certificates. Each call works in its own
// 0700 directory under $XDG_RUNTIME_DIR (the temporary directory without one),
// which is removed on every path.
// HTTP statuses are not interpreted here; curl's own failures come back as
// TransportError with its exit code.
namespace GigaChatCurlTransport {

struct Request {
    QUrl url;
    std::optional<QString> method; // "GET" when absent
    QList<std::pair<QString, QString>> headers; // name, value
    std::optional<QByteArray> body; // not sent by send(); the caller passes the body
};

struct Response {
    QByteArray data;
    qint64 statusCode = 0;
};

class TransportError : public DescribedError {
public:
    TransportError(int exitCode, QString details);

    int exitCode() const noexcept { return m_exitCode; }
    const QString &details() const noexcept { return m_details; }

private:
    int m_exitCode;
    QString m_details;
};

// The whole exchange; curl is awaited on the caller's event loop, which never blocks.
// Call on the thread that runs abandonPendingExchanges.
QCoro::Task<Response> send(Request request, std::optional<QByteArray> body, double timeout);

// The CA file: the root's PEM block followed by the sub-CA's.
QByteArray certificatePEMData();

// The configuration file text for `headers`: sorted case-insensitively, escaped,
// one `header = "..."` line each, ending with a line feed.
QByteArray configurationText(QList<std::pair<QString, QString>> headers);

// Kills the curl runs still in progress and waits briefly until their
// directories are removed; for a process that exits with exchanges in flight.
void abandonPendingExchanges();

} // namespace GigaChatCurlTransport
