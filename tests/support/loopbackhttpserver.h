#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>
#include <QStringList>
#include <QUrl>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

class QTcpServer;
class QTcpSocket;

// A real HTTP/1.1 server on 127.0.0.1 (port chosen by the system) standing in for a
// remote service. It records every request exactly as the bytes arrived and answers
// from a script: queued answers first, in order, then the handler, then a 500.
// Plain HTTP by default; listenTls() serves HTTPS with a given certificate and key.
// Lives on the thread that creates it; clients in other threads or processes are fine
// as long as that thread runs its event loop.
class LoopbackHttpServer : public QObject {
    Q_OBJECT

public:
    using HeaderList = QList<QPair<QByteArray, QByteArray>>;

    struct Request {
        QByteArray raw; // request line, headers and body as received
        QByteArray method;
        QByteArray target; // the request target as sent, e.g. "/v1/dictations?x=1"
        QByteArray path; // the target without its query
        QByteArray version;
        HeaderList headers; // in the order received, names as sent
        QByteArray body;
        int connection = 0; // ordinal of the connection that carried it, from 1

        // First header of that name, compared without regard to case.
        std::optional<QByteArray> header(QByteArrayView name) const;
    };

    struct Response {
        enum class Action {
            respond, // send status, headers and body
            neverAnswer, // keep the connection open and say nothing
            close, // close the connection at once without a word
        };

        Action action = Action::respond;
        int status = 200;
        QByteArray reason; // empty: a standard phrase for the status
        HeaderList headers;
        QByteArray body;
        // When set, written verbatim instead of status, headers and body: for broken
        // or truncated answers.
        std::optional<QByteArray> rawReply;
        // Close the connection once the answer is written.
        bool closeAfterReply = false;
        // Wait this long before answering.
        std::chrono::milliseconds delay { 0 };

        // A JSON answer with Content-Type application/json.
        static Response json(int status, QByteArray body);
        static Response text(int status, QByteArray body, QByteArray contentType = "text/plain; charset=utf-8");
        static Response neverAnswering();
        static Response closing();
        static Response raw(QByteArray bytes, bool closeAfter = true);
    };

    using Handler = std::function<Response(const Request &request)>;

    explicit LoopbackHttpServer(QObject *parent = nullptr);
    ~LoopbackHttpServer() override;

    // Starts plain HTTP on 127.0.0.1 (port 0: any free one). Returns false when the socket cannot be bound.
    bool listen(quint16 port = 0);
    // Starts HTTPS on 127.0.0.1, presenting `certificate` (then `chain`) with `key`.
    bool listenTls(const QSslCertificate &certificate, const QSslKey &key, const QList<QSslCertificate> &chain = {},
        quint16 port = 0);

    bool isTls() const { return m_tls; }
    quint16 port() const;
    // "http://127.0.0.1:PORT" or "https://127.0.0.1:PORT", no trailing slash.
    QUrl baseUrl() const;
    QUrl url(const QString &path) const;

    // Script: each request takes the oldest queued answer; when none is queued the
    // handler answers; without a handler the answer is a 500 that names the request.
    void enqueue(Response response);
    void setHandler(Handler handler);
    int pendingResponses() const { return static_cast<int>(m_queue.size()); }

    const QList<Request> &requests() const { return m_requests; }
    int requestCount() const { return static_cast<int>(m_requests.size()); }
    int connectionCount() const { return m_connections; }
    // TLS handshakes that failed, described by Qt (a client that rejected the
    // certificate shows up here).
    const QStringList &tlsErrors() const { return m_tlsErrors; }

    // Drops every open connection (clients see the connection reset or closed).
    void closeAllConnections();

Q_SIGNALS:
    void requestReceived(int index);
    void connectionAccepted(int ordinal);

private:
    struct Connection;

    bool startListening(quint16 port);
    void acceptPending();
    void readFrom(Connection *connection);
    void respond(Connection *connection, const Request &request);
    void write(QPointer<QTcpSocket> socket, const Response &response);
    Response nextResponse(const Request &request);

    std::unique_ptr<QTcpServer> m_server;
    bool m_tls = false;
    std::deque<Response> m_queue;
    Handler m_handler;
    QList<Request> m_requests;
    QStringList m_tlsErrors;
    int m_connections = 0;
    std::vector<std::unique_ptr<Connection>> m_open;
};
