// The longest the main thread is held up while the program talks to a peer that hangs: an
// accessibility bus whose owner never answers, a curl that never ends, and (under
// scripts/wayland-session) a compositor stopped with SIGSTOP while the overlay's focus watch and
// the paste keystroke use the connection. A 1 ms timer on the main thread measures the gaps; the
// target is 20 ms. Run under scripts/headless-session, or scripts/wayland-session for all three.

#include "../tests/app/privatebus.h"
#include "insertion/atspi/accessibilitypermission.h"
#include "insertion/wayland/waylandkeystrokesender.h"
#include "platform/wayland/waylandclipboard.h"
#include "platform/wayland/waylandconnection.h"
#include "platform/wayland/waylandtoplevels.h"
#include "services/gigachat/gigachatconfiguration.h"
#include "services/gigachat/gigachatcurltransport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <wayland-client.h>

#include <sys/socket.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// Runs the event loop for `duration`, doing `step` every 50 ms; the longest gap between two ticks of a 1 ms timer.
qint64 longestStall(std::chrono::milliseconds duration, const std::function<void()> &step)
{
    QElapsedTimer sinceTick, total;
    qint64 longest = 0;
    QTimer ticks, steps;
    QObject::connect(&ticks, &QTimer::timeout, [&] { longest = std::max(longest, sinceTick.restart()); });
    QObject::connect(&steps, &QTimer::timeout, step);
    sinceTick.start();
    total.start();
    ticks.start(1);
    steps.start(50);
    step();
    while (total.elapsed() < duration.count())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
    return longest;
}

void report(const char *peer, qint64 stall)
{
    std::printf("%-64s longest main-thread stall %4lld ms (target 20)\n", peer, static_cast<long long>(stall));
}

void stalledAccessibilityBus()
{
    PrivateBus bus;
    QProcess owner; // owns the accessibility bus's name and never answers a call
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, bus.address());
    owner.setProcessEnvironment(environment);
    owner.start(u"/usr/bin/python3"_s,
        { u"-c"_s,
            u"import dbus, time; b = dbus.SessionBus(); b.request_name('org.a11y.Bus'); print('ready', flush=True); "
            "time.sleep(600)"_s });
    if (!owner.waitForReadyRead(10'000)) {
        std::printf("stalled accessibility bus: skipped (needs dbus-daemon and python3-dbus)\n");
        return;
    }
    AccessibilityPermission permission(QDBusConnection::connectToBus(bus.address(), u"stalled"_s));
    report("accessibility bus that never answers, isBusEnabled() every 50 ms",
        longestStall(3s, [&] { permission.isBusEnabled(); }));
    owner.kill();
    owner.waitForFinished();
}

void hangingCurl()
{
    QTemporaryDir directory;
    const QString curl = directory.filePath(u"curl"_s);
    QFile script(curl);
    script.open(QIODevice::WriteOnly);
    script.write("#!/bin/sh\nexec sleep 600\n");
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    GigaChatConfiguration configuration = GigaChatConfiguration::production();
    configuration.curlPath = curl;
    GigaChatConfiguration::replaceForTesting(configuration);
    GigaChatCurlTransport::Request request;
    request.url = QUrl(u"https://gigachat.devices.sberbank.ru/v1/models"_s);
    int started = 0;
    report("curl that never ends, one exchange started every 50 ms", longestStall(2s, [&] {
        ++started;
        [](GigaChatCurlTransport::Request r) -> QCoro::Task<> {
            try {
                co_await GigaChatCurlTransport::send(r, std::nullopt, 120);
            } catch (...) {
            }
        }(request);
    }));
    GigaChatCurlTransport::abandonPendingExchanges();
}

void stoppedCompositor()
{
    if (!qEnvironmentVariableIsSet("VERBULO_WAYLAND_SESSION")) {
        std::printf("stopped compositor: skipped (needs scripts/wayland-session)\n");
        return;
    }
    auto connection = WaylandConnection::shared();
    WaylandClipboard clipboard(*connection);
    WaylandKeystrokeSender keys(*connection, clipboard);
    WaylandToplevels toplevels(connection);
    ucred peer {};
    socklen_t size = sizeof peer;
    if (!connection->isAlive()
        || getsockopt(wl_display_get_fd(connection->display()), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        std::printf("stopped compositor: skipped (no compositor)\n");
        return;
    }
    ::kill(peer.pid, SIGSTOP);
    report("stopped compositor, window activation and a paste every 50 ms", longestStall(3s, [&] {
        toplevels.activate(toplevels.activeWindow().value_or(WaylandToplevels::TopLevel()).id);
        clipboard.setText(u"текст"_s);
        keys.sendPaste(PasteShortcut::controlV);
    }));
    ::kill(peer.pid, SIGCONT);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    stalledAccessibilityBus();
    hangingCurl();
    stoppedCompositor();
    return 0;
}
