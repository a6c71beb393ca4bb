#include "loopbackhttpserver.h"

#include <QHostAddress>
#include <QSslConfiguration>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

using namespace Qt::StringLiterals;

struct LoopbackHttpServer::Connection {
    QPointer<QTcpSocket> socket;
    int ordinal = 0;
    QByteArray buffer;
    bool busy = false; // an answer is scheduled; later requests wait their turn
    bool silenced = false; // told never to answer: everything further is ignored
    bool continued = false; // "100 Continue" already sent for the request in progress
};

namespace {

QByteArray standardReason(int status)
{
    switch (status) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 413:
        return "Payload Too Large";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

} // namespace

std::optional<QByteArray> LoopbackHttpServer::Request::header(QByteArrayView name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return std::nullopt;
}

LoopbackHttpServer::Response LoopbackHttpServer::Response::json(int status, QByteArray body)
{
    return text(status, std::move(body), "application/json");
}

LoopbackHttpServer::Response LoopbackHttpServer::Response::text(int status, QByteArray body, QByteArray contentType)
{
    Response response;
    response.status = status;
    response.headers = { { "Content-Type", std::move(contentType) } };
    response.body = std::move(body);
    return response;
}

LoopbackHttpServer::Response LoopbackHttpServer::Response::neverAnswering()
{
    Response response;
    response.action = Action::neverAnswer;
    return response;
}

LoopbackHttpServer::Response LoopbackHttpServer::Response::closing()
{
    Response response;
    response.action = Action::close;
    return response;
}

LoopbackHttpServer::Response LoopbackHttpServer::Response::raw(QByteArray bytes, bool closeAfter)
{
    Response response;
    response.rawReply = std::move(bytes);
    response.closeAfterReply = closeAfter;
    return response;
}

LoopbackHttpServer::LoopbackHttpServer(QObject *parent)
    : QObject(parent)
{
}

LoopbackHttpServer::~LoopbackHttpServer() { closeAllConnections(); }

bool LoopbackHttpServer::listen(quint16 port)
{
    m_tls = false;
    m_server = std::make_unique<QTcpServer>();
    return startListening(port);
}

bool LoopbackHttpServer::listenTls(
    const QSslCertificate &certificate, const QSslKey &key, const QList<QSslCertificate> &chain, quint16 port)
{
    auto server = std::make_unique<QSslServer>();
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(QList<QSslCertificate> { certificate } + chain);
    configuration.setPrivateKey(key);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    server->setSslConfiguration(configuration);

    auto record = [this](QSslSocket *socket, const QString &what) {
        m_tlsErrors.append(what.isEmpty() && socket ? socket->errorString() : what);
    };
    connect(server.get(), &QSslServer::errorOccurred, this,
        [record](QSslSocket *socket, QAbstractSocket::SocketError) { record(socket, QString()); });
    connect(server.get(), &QSslServer::sslErrors, this, [record](QSslSocket *socket, const QList<QSslError> &errors) {
        for (const QSslError &error : errors)
            record(socket, error.errorString());
    });
    connect(server.get(), &QSslServer::alertReceived, this,
        [record](QSslSocket *socket, QSsl::AlertLevel level, QSsl::AlertType, const QString &description) {
            if (level != QSsl::AlertLevel::Warning)
                record(socket, u"alert: "_s + description);
        });

    m_tls = true;
    m_server = std::move(server);
    return startListening(port);
}

bool LoopbackHttpServer::startListening(quint16 port)
{
    // A TLS server hands a connection over only after its handshake, through
    // pendingConnectionAvailable; newConnection covers the plain server. Both may
    // fire for one socket, which acceptPending tolerates.
    connect(m_server.get(), &QTcpServer::newConnection, this, &LoopbackHttpServer::acceptPending);
    connect(m_server.get(), &QTcpServer::pendingConnectionAvailable, this, &LoopbackHttpServer::acceptPending);
    return m_server->listen(QHostAddress::LocalHost, port);
}

quint16 LoopbackHttpServer::port() const { return m_server ? m_server->serverPort() : 0; }

QUrl LoopbackHttpServer::baseUrl() const
{
    QUrl url;
    url.setScheme(m_tls ? u"https"_s : u"http"_s);
    url.setHost(u"127.0.0.1"_s);
    url.setPort(port());
    return url;
}

QUrl LoopbackHttpServer::url(const QString &path) const
{
    QUrl result = baseUrl();
    result.setPath(path.startsWith(u'/') ? path : u'/' + path);
    return result;
}

void LoopbackHttpServer::enqueue(Response response) { m_queue.push_back(std::move(response)); }

void LoopbackHttpServer::setHandler(Handler handler) { m_handler = std::move(handler); }

void LoopbackHttpServer::closeAllConnections()
{
    for (const auto &connection : m_open) {
        if (connection->socket)
            connection->socket->abort();
    }
}

void LoopbackHttpServer::acceptPending()
{
    while (m_server && m_server->hasPendingConnections()) {
        QTcpSocket *socket = m_server->nextPendingConnection();
        if (!socket)
            break;
        auto connection = std::make_unique<Connection>();
        connection->socket = socket;
        connection->ordinal = ++m_connections;
        Connection *raw = connection.get();
        m_open.push_back(std::move(connection));
        connect(socket, &QTcpSocket::readyRead, this, [this, raw] { readFrom(raw); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        Q_EMIT connectionAccepted(raw->ordinal);
        // Bytes may have arrived with the handshake already.
        if (socket->bytesAvailable() > 0)
            readFrom(raw);
    }
}

void LoopbackHttpServer::readFrom(Connection *connection)
{
    if (!connection->socket)
        return;
    connection->buffer.append(connection->socket->readAll());

    while (!connection->busy && !connection->silenced && connection->socket) {
        QByteArray &buffer = connection->buffer;
        const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return;

        Request request;
        request.connection = connection->ordinal;
        const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        request.version = requestLine.value(2);
        const qsizetype query = request.target.indexOf('?');
        request.path = query < 0 ? request.target : request.target.left(query);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).endsWith('\r') ? lines.at(i).chopped(1) : lines.at(i);
            const qsizetype colon = line.indexOf(':');
            if (colon > 0)
                request.headers.append({ line.left(colon), line.mid(colon + 1).trimmed() });
        }

        const qsizetype bodyStart = headEnd + 4;
        // Every client here sends a length; a chunked body would read as none.
        const qsizetype bodyLength
            = std::max(0LL, request.header("Content-Length").value_or("0").trimmed().toLongLong());
        if (buffer.size() < bodyStart + bodyLength) {
            if (!connection->continued && request.header("Expect").value_or(QByteArray()).toLower() == "100-continue") {
                connection->continued = true;
                connection->socket->write("HTTP/1.1 100 Continue\r\n\r\n");
            }
            return;
        }
        request.body = buffer.mid(bodyStart, bodyLength);

        request.raw = buffer.left(bodyStart + bodyLength);
        buffer.remove(0, bodyStart + bodyLength);
        connection->continued = false;

        m_requests.append(request);
        Q_EMIT requestReceived(static_cast<int>(m_requests.size() - 1));
        respond(connection, request);
    }
}

LoopbackHttpServer::Response LoopbackHttpServer::nextResponse(const Request &request)
{
    if (!m_queue.empty()) {
        Response response = std::move(m_queue.front());
        m_queue.pop_front();
        return response;
    }
    if (m_handler)
        return m_handler(request);
    return Response::text(500, "no scripted answer for " + request.method + ' ' + request.target);
}

void LoopbackHttpServer::respond(Connection *connection, const Request &request)
{
    const Response response = nextResponse(request);
    switch (response.action) {
    case Response::Action::neverAnswer:
        connection->silenced = true;
        return;
    case Response::Action::close:
        connection->silenced = true;
        connection->buffer.clear();
        connection->socket->abort();
        return;
    case Response::Action::respond:
        break;
    }

    if (response.delay.count() <= 0) {
        write(connection->socket, response);
        return;
    }
    connection->busy = true;
    QTimer::singleShot(response.delay, this, [this, connection, response] {
        connection->busy = false;
        write(connection->socket, response);
        if (connection->socket)
            readFrom(connection);
    });
}

void LoopbackHttpServer::write(QPointer<QTcpSocket> socket, const Response &response)
{
    if (!socket)
        return;
    if (response.rawReply) {
        socket->write(*response.rawReply);
    } else {
        QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' '
            + (response.reason.isEmpty() ? standardReason(response.status) : response.reason) + "\r\n";
        bool hasLength = false;
        for (const auto &[name, value] : response.headers) {
            hasLength = hasLength || name.compare("Content-Length", Qt::CaseInsensitive) == 0;
            head += name + ": " + value + "\r\n";
        }
        if (!hasLength)
            head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
        if (response.closeAfterReply)
            head += "Connection: close\r\n";
        head += "\r\n";
        socket->write(head);
        socket->write(response.body);
    }
    if (response.closeAfterReply)
        socket->disconnectFromHost(); // sends what is buffered first
}
