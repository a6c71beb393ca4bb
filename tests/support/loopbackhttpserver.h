#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>
#include <QUrl>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

// A real HTTP/1.1 (or, after listenTls, HTTPS) server on 127.0.0.1 standing in for a remote service:
// it records every request and answers from a script (queued answers, then the handler, then a 500).
class LoopbackHttpServer : public QObject {
public:
    struct Request {
        QByteArray method, target;
        QList<std::pair<QByteArray, QByteArray>> headers; // as received
        QByteArray body {};
        // First header of that name, compared without regard to case.
        std::optional<QByteArray> header(QByteArrayView name) const;
    };

    struct Response {
        enum class Action { respond, neverAnswer, close } action = Action::respond;
        int status = 200;
        QByteArray body {};
        std::optional<QByteArray> raw {}; // written verbatim instead, then the connection closes
        bool holdOpen = false; // with raw: the connection stays open after it, a body that stalls
        std::chrono::milliseconds delay { 0 };

        static Response json(int status, QByteArray body) { return { .status = status, .body = std::move(body) }; }
        static Response neverAnswering() { return { .action = Action::neverAnswer }; }
        static Response closing() { return { .action = Action::close }; }
        static Response rawBytes(QByteArray bytes) { return { .raw = std::move(bytes) }; }
    };

    using Handler = std::function<Response(const Request &request)>;

    bool listen() { return start(std::make_unique<QTcpServer>()); }
    bool listenTls(const QSslCertificate &certificate, const QSslKey &key);

    QUrl baseUrl() const; // "http(s)://127.0.0.1:PORT"

    void enqueue(Response response) { m_queue.push_back(std::move(response)); }
    void setHandler(Handler handler) { m_handler = std::move(handler); }

    const QList<Request> &requests() const { return m_requests; }
    int requestCount() const { return int(m_requests.size()); }
    int connectionCount() const { return m_connections; }

private:
    bool start(std::unique_ptr<QTcpServer> server);
    void accept();
    void read(QTcpSocket *socket, QByteArray &buffer);

    std::unique_ptr<QTcpServer> m_server;
    std::deque<Response> m_queue;
    Handler m_handler;
    QList<Request> m_requests;
    int m_connections = 0;
};
