// The overlay's animation on the compositor's top layer (run in scripts/wayland-session): panel images
// handed to the compositor per second, and the process's CPU time per image. Then the longest
// main-thread stall while the compositor is stopped (SIGSTOP) through the overlay's show, a
// paste and its hide; the target is 20 ms.
#include "insertion/wayland/waylandkeystrokesender.h"
#include "platform/wayland/waylandclipboard.h"
#include "platform/wayland/waylandconnection.h"
#include "stallmeter.h"
#include "ui/overlaypanelcontroller.h"
#include "ui/wayland/layershelloverlay.h"
#include "ui/wayland/waylandoverlay.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <wayland-client.h>

#include <sys/socket.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <functional>
#include <semaphore>

using namespace Qt::StringLiterals;

namespace {

double cpuSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

void measure(const char *name, const LayerShellOverlay &surface, const std::function<void()> &show)
{
    show();
    QTimer::singleShot(500, qApp, &QApplication::quit);
    QApplication::exec();
    const int framesBefore = surface.framesDrawn();
    const double cpuBefore = cpuSeconds();
    QElapsedTimer elapsed;
    elapsed.start();
    QTimer::singleShot(5000, qApp, &QApplication::quit);
    QApplication::exec();
    const int frames = surface.framesDrawn() - framesBefore;
    const double cpu = cpuSeconds() - cpuBefore;
    std::printf("%-10s %6.1f frames/s  %7.2f ms CPU per frame  %5.1f%% CPU\n", name,
        frames * 1000.0 / double(elapsed.elapsed()), frames ? cpu * 1000 / frames : 0.0,
        cpu * 100000 / double(elapsed.elapsed()));
}

void runFor(int milliseconds)
{
    QTimer::singleShot(milliseconds, qApp, &QApplication::quit);
    QApplication::exec();
}

// Each step made anew with the compositor stopped, as at a dictation's start; the meter runs throughout.
// Each round makes the surface, the clipboard and the keyboard anew, as at start; with `busy` the
// connection's own thread is held up meanwhile too (a long dispatch), which the main thread must not wait for.
void stoppedCompositor(OverlayPanelController &overlay, bool busy)
{
    const std::shared_ptr<WaylandConnection> connection = WaylandConnection::shared();
    ucred peer {};
    socklen_t size = sizeof peer;
    if (getsockopt(wl_display_get_fd(connection->display()), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
        return;
    ::kill(peer.pid, SIGSTOP);
    auto release = std::make_shared<std::binary_semaphore>(0);
    if (busy)
        connection->post([release] { release->try_acquire_for(std::chrono::seconds(30)); });
    double longest = 0;
    for (int round = 0; round < 5; ++round) {
        const StallMeter meter;
        {
            overlay.setSurface(makeWaylandOverlaySurface(overlay.panel()));
            WaylandClipboard clipboard(*connection);
            WaylandKeystrokeSender keys(*connection, clipboard);
            overlay.showListening();
            runFor(200);
            clipboard.setText(u"Текст"_s);
            keys.sendPaste(PasteShortcut::controlV);
            overlay.hide();
            runFor(200);
            overlay.setSurface(nullptr);
        }
        runFor(50);
        longest = std::max(longest, meter.longestMilliseconds());
    }
    release->release();
    ::kill(peer.pid, SIGCONT);
    runFor(200);
    std::printf("stopped compositor%s: show, paste, hide  longest main-thread stall %7.2f ms (target 20)\n",
        busy ? ", its connection's thread busy" : "", longest);
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "wayland");
    QApplication app(argc, argv);
    OverlayPanelController overlay;
    std::unique_ptr<OverlaySurface> surface = makeWaylandOverlaySurface(overlay.panel());
    const auto *layer = dynamic_cast<LayerShellOverlay *>(surface.get());
    if (!layer) {
        std::fputs("bench_overlay_wayland: needs a compositor with a layer shell (scripts/wayland-session)\n", stderr);
        return 77;
    }
    overlay.setSurface(std::move(surface));
    measure("listening", *layer, [&] { overlay.showListening(); });
    measure("result", *layer, [&] { overlay.presentResult(u"Готово"_s, u"Скопируйте текст"_s, u"Текст"_s); });
    overlay.hide();
    for (const bool busy : { false, true })
        stoppedCompositor(overlay, busy);
    return 0;
}
