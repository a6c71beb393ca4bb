#include "loopbackhttpserver.h"

#include <QSslConfiguration>
#include <QSslServer>
#include <QSslSocket>
#include <QTimer>

using namespace Qt::StringLiterals;

std::optional<QByteArray> LoopbackHttpServer::Request::header(QByteArrayView name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return std::nullopt;
}

bool LoopbackHttpServer::listenTls(const QSslCertificate &certificate, const QSslKey &key)
{
    auto server = std::make_unique<QSslServer>();
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(certificate);
    configuration.setPrivateKey(key);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    server->setSslConfiguration(configuration);
    return start(std::move(server));
}

bool LoopbackHttpServer::start(std::unique_ptr<QTcpServer> server)
{
    m_server = std::move(server);
    // A TLS server hands a socket over only after its handshake.
    connect(m_server.get(), &QTcpServer::pendingConnectionAvailable, this, &LoopbackHttpServer::accept);
    return m_server->listen(QHostAddress::LocalHost);
}

QUrl LoopbackHttpServer::baseUrl() const
{
    const bool tls = qobject_cast<QSslServer *>(m_server.get());
    return QUrl(u"%1://127.0.0.1:%2"_s.arg(tls ? u"https"_s : u"http"_s).arg(m_server->serverPort()));
}

void LoopbackHttpServer::accept()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        ++m_connections;
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] { read(socket, *buffer); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        read(socket, *buffer); // bytes may have come with the handshake
    }
}

void LoopbackHttpServer::read(QTcpSocket *socket, QByteArray &buffer)
{
    buffer.append(socket->readAll());
    const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return;
    Request request;
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    for (const QByteArray &line : lines.mid(1)) {
        const qsizetype colon = line.indexOf(':');
        request.headers.append({ line.left(colon), line.mid(colon + 1).trimmed() });
    }
    const qsizetype length = request.header("Content-Length").value_or("0").toLongLong();
    if (buffer.size() < headEnd + 4 + length)
        return;
    request.body = buffer.mid(headEnd + 4, length);
    buffer.remove(0, headEnd + 4 + length);
    m_requests.append(request);

    Response response = Response::json(500, "no scripted answer for " + request.target);
    if (!m_queue.empty()) {
        response = std::move(m_queue.front());
        m_queue.pop_front();
    } else if (m_handler) {
        response = m_handler(request);
    }
    if (response.action != Response::Action::respond) {
        socket->disconnect(this); // whatever else arrives goes unanswered
        if (response.action == Response::Action::close)
            socket->abort();
        return;
    }
    QTimer::singleShot(response.delay, socket, [socket, response] {
        socket->write(response.raw ? *response.raw
                                   : "HTTP/1.1 " + QByteArray::number(response.status)
                    + " Status\r\nContent-Type: application/json\r\nContent-Length: "
                    + QByteArray::number(response.body.size()) + "\r\n\r\n" + response.body);
        if (response.raw && !response.holdOpen)
            socket->disconnectFromHost();
    });
}
