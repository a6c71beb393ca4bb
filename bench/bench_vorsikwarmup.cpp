// Second Fn press to the backend's text over a slow link, with and without the
// warm-up at the first press. A TCP forwarder adds 50 ms each way in front of the
// loopback HTTPS server, so one round trip costs 100 ms as on a distant network.
// Run under scripts/headless-session (openssl makes the test certificates).

#include "core/appsettings.h"
#include "core/describederror.h"
#include "gigachattestsupport.h"
#include "loopbackhttpserver.h"
#include "services/vorsik/vorsikapiclient.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QPointer>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <memory>
#include <vector>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// One direction of a forwarded connection: bytes leave `delay` after they came,
// in the order they came. An empty piece stands for the end of the stream.
class DelayedPipe : public QObject {
public:
    DelayedPipe(QTcpSocket *to, std::chrono::milliseconds delay, std::chrono::milliseconds firstExtra)
        : m_to(to)
        , m_delay(delay)
        , m_extra(firstExtra)
    {
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, &DelayedPipe::deliver);
        m_clock.start();
    }

    void push(QByteArray bytes)
    {
        const qint64 due = m_clock.elapsed() + (m_delay + std::exchange(m_extra, 0ms)).count();
        m_queue.push_back({ std::max(due, m_queue.empty() ? 0 : m_queue.back().first), std::move(bytes) });
        schedule();
    }

private:
    void schedule()
    {
        if (!m_queue.empty() && !m_timer.isActive())
            m_timer.start(std::max<qint64>(0, m_queue.front().first - m_clock.elapsed()));
    }

    void deliver()
    {
        while (!m_queue.empty() && m_queue.front().first <= m_clock.elapsed()) {
            const QByteArray bytes = std::move(m_queue.front().second);
            m_queue.pop_front();
            if (!m_to)
                continue;
            if (bytes.isEmpty())
                m_to->disconnectFromHost();
            else
                m_to->write(bytes);
        }
        schedule();
    }

    QPointer<QTcpSocket> m_to;
    std::chrono::milliseconds m_delay;
    std::chrono::milliseconds m_extra;
    std::deque<std::pair<qint64, QByteArray>> m_queue;
    QTimer m_timer;
    QElapsedTimer m_clock;
};

// Forwards every connection to 127.0.0.1:`target`. On loopback the kernel finishes
// the TCP handshake at once; on a real link the client's first bytes leave one round
// trip after connect(), so those wait that much longer here.
class DelayProxy : public QObject {
public:
    DelayProxy(quint16 target, std::chrono::milliseconds oneWay)
        : m_target(target)
        , m_oneWay(oneWay)
    {
        connect(&m_server, &QTcpServer::newConnection, this, &DelayProxy::accept);
        if (!m_server.listen(QHostAddress::LocalHost, 0))
            qFatal("the proxy cannot listen");
    }

    quint16 port() const { return m_server.serverPort(); }

private:
    void accept()
    {
        while (QTcpSocket *client = m_server.nextPendingConnection()) {
            auto *upstream = new QTcpSocket(client);
            auto *up = new DelayedPipe(upstream, m_oneWay, 2 * m_oneWay);
            auto *down = new DelayedPipe(client, m_oneWay, 0ms);
            up->setParent(client);
            down->setParent(client);
            connect(client, &QTcpSocket::readyRead, up, [client, up] { up->push(client->readAll()); });
            connect(upstream, &QTcpSocket::readyRead, down, [upstream, down] { down->push(upstream->readAll()); });
            connect(client, &QTcpSocket::disconnected, up, [up] { up->push({}); });
            connect(upstream, &QTcpSocket::disconnected, down, [down] { down->push({}); });
            connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
            upstream->connectToHost(QHostAddress::LocalHost, m_target);
            if (client->bytesAvailable() > 0)
                up->push(client->readAll());
        }
    }

    QTcpServer m_server;
    quint16 m_target;
    std::chrono::milliseconds m_oneWay;
};

struct Result {
    bool done = false;
    bool ok = false;
};

QCoro::Task<> run(VorsikAPIClient &client, std::shared_ptr<Result> result)
{
    try {
        co_await client.transcribeAndEdit(QByteArray(48'000, '\1'), SmartMode::clean, QString(), {});
        result->ok = true;
    } catch (const DescribedError &error) {
        std::fprintf(stderr, "failed: %s\n", qPrintable(error.description()));
    }
    result->done = true;
}

// Milliseconds from the second press to the text, for one dictation of a fresh client.
double secondPressToText(quint16 proxyPort, bool warmUp, bool registered)
{
    AppSettings::remove(AppSettings::Keys::installationToken);
    if (registered)
        AppSettings::setString(AppSettings::Keys::installationToken, u"cached"_s);
    VorsikAPIClient client(VorsikAPIConfiguration({ u"https://127.0.0.1:%1/v"_s.arg(proxyPort), u"1"_s, u"1"_s }));
    if (warmUp)
        client.warmUp();
    TestUtil::runFor(800ms); // the user speaks
    QElapsedTimer clock;
    clock.start();
    auto result = std::make_shared<Result>();
    run(client, result);
    if (!TestUtil::runUntil([&] { return result->done; }, 30s) || !result->ok)
        qFatal("a dictation did not come back");
    return double(clock.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir configHome;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome.path()));
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    const TestCertificates &certificates = TestCertificates::shared();
    QSslConfiguration trusting = QSslConfiguration::defaultConfiguration();
    for (const QByteArray &der : { certificates.rootBase64, certificates.subBase64 })
        trusting.addCaCertificate(QSslCertificate(QByteArray::fromBase64(der), QSsl::Der));
    QSslConfiguration::setDefaultConfiguration(trusting);

    LoopbackHttpServer server;
    if (!server.listenTls(certificates.server, certificates.serverKey))
        qFatal("the server cannot listen");
    server.setHandler([](const LoopbackHttpServer::Request &request) {
        if (request.target.endsWith("/installations"))
            return LoopbackHttpServer::Response::json(200, R"({"installation_token":"fresh"})");
        return LoopbackHttpServer::Response::json(200, R"({"text":"Готово."})");
    });
    DelayProxy proxy(quint16(server.baseUrl().port()), 50ms);

    constexpr int runs = 15;
    for (const bool registered : { true, false }) {
        double medians[2] = {};
        for (const bool warmUp : { false, true }) {
            std::vector<double> millis;
            for (int i = 0; i < runs; ++i)
                millis.push_back(secondPressToText(proxy.port(), warmUp, registered));
            std::sort(millis.begin(), millis.end());
            medians[warmUp] = millis[millis.size() / 2];
            std::printf("%-22s %-15s median %6.1f ms, min %6.1f, max %6.1f (%d runs)\n",
                registered ? "token cached," : "first use (no token),",
                warmUp ? "warm-up:" : "no warm-up:", medians[warmUp], millis.front(), millis.back(), runs);
        }
        std::printf("%-22s saved          %6.1f ms\n", "", medians[0] - medians[1]);
    }
    return 0;
}
