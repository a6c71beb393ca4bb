// Reads one account through KeychainStore in a process of its own, so a test can give it another
// (or a broken) session bus. Prints "found" or "none", the time it took and the longest the event
// loop went without running meanwhile; never the secret. With --silent-service it owns the Secret
// Service name and never answers, like a hung keyring.
#include "secrets/keychainstore.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>

struct SilentService : QDBusVirtualObject {
    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &, const QDBusConnection &) override { return true; }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString account = app.arguments().value(1);
    if (account == QStringLiteral("--silent-service")) {
        SilentService service;
        QDBusConnection bus = QDBusConnection::sessionBus();
        bus.registerVirtualObject(QStringLiteral("/org/freedesktop/secrets"), &service, QDBusConnection::SubPath);
        if (!bus.registerService(QStringLiteral("org.freedesktop.secrets")))
            return 2;
        std::puts("ready");
        std::fflush(stdout);
        return app.exec();
    }
    QElapsedTimer timer, sinceTick;
    timer.start(), sinceTick.start();
    qint64 longestGap = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, &app, [&] { longestGap = std::max(longestGap, sinceTick.restart()); });
    ticker.start(5);
    const bool found = QCoro::waitFor(KeychainStore().read(account)).has_value();
    std::printf("%s %lld %lld\n", found ? "found" : "none", qlonglong(timer.elapsed()),
        qlonglong(std::max(longestGap, sinceTick.elapsed())));
}
