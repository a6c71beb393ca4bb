// The overlay's animation on the compositor's top layer (run in scripts/wayland-session): panel images
// handed to the compositor per second, and the process's CPU time per image.
#include "overlaypanelcontroller.h"
#include "waylandoverlay.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>
#include <ctime>
#include <functional>

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
    return 0;
}
