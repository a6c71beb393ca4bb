// Reads one account through KeychainStore in a process of its own, so a test can give it a
// different (or broken) session bus. Prints "found" or "none", the time it took and the longest
// the event loop went without running meanwhile; never the secret itself.
#include "keychainstore.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

// Owns the Secret Service name and never answers, like a hung keyring.
class SilentService : public QDBusVirtualObject {
public:
    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &, const QDBusConnection &) override { return true; }
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 2 && args[1] == u"--silent-service"_s) {
        SilentService service;
        QDBusConnection bus = QDBusConnection::sessionBus();
        bus.registerVirtualObject(u"/org/freedesktop/secrets"_s, &service, QDBusConnection::SubPath);
        if (!bus.registerService(u"org.freedesktop.secrets"_s))
            return 2;
        std::puts("ready");
        std::fflush(stdout);
        return app.exec();
    }
    if (args.size() != 2)
        return 2;
    QElapsedTimer timer, sinceTick;
    timer.start(), sinceTick.start();
    qint64 longestGap = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, &app, [&] { longestGap = std::max(longestGap, sinceTick.restart()); });
    ticker.start(5);
    const std::optional<QString> secret = QCoro::waitFor(KeychainStore().read(args[1]));
    std::printf("%s %lld %lld\n", secret ? "found" : "none", static_cast<long long>(timer.elapsed()),
        static_cast<long long>(std::max(longestGap, sinceTick.elapsed())));
    return 0;
}
