// The second press under scripts/wayland-session or scripts/kde-session: from insert() to its
// outcome for a native Wayland Qt field, pasted through data control and the compositor's virtual
// keyboard (sway) or KWin's fake input (granted by a .desktop file written here), and put straight
// into the field over the accessibility bus without any key.
#include "insertion/atspi/accessibilitypermission.h"
#include "insertion/atspi/atspiaccessibilitybackend.h"
#include "insertion/textinserter.h"
#include "insertion/wayland/fakeinputkeystrokesender.h"
#include "insertion/wayland/waylandkeystrokesender.h"
#include "insertiontargetapplication.h"
#include "platform/wayland/waylandclipboard.h"
#include "platform/wayland/waylandconnection.h"
#include "stallmeter.h"
#include "testutil.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <QCoro/QCoroTask>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

// No keystroke reaches anything: the text goes straight into the field.
class NoKeystrokes final : public AbstractKeystrokeSender {
public:
    bool sendPaste(PasteShortcut) override { return false; }
    bool reaches(const TextInsertionTarget &) const override { return false; }
};

enum class Path { keystroke, direct };

void BM_SecondPressIntoWaylandField(benchmark::State &state, Path path)
{
    WaylandConnection connection;
    WaylandClipboard clipboard(connection);
    WaylandKeystrokeSender virtualKeyboard(connection, clipboard);
    FakeInputKeystrokeSender fakeInput(connection, clipboard);
    NoKeystrokes none;
    AbstractKeystrokeSender &keys = path == Path::direct ? static_cast<AbstractKeystrokeSender &>(none)
        : virtualKeyboard.isAvailable()                  ? static_cast<AbstractKeystrokeSender &>(virtualKeyboard)
                                                         : fakeInput;
    AccessibilityPermission permission;
    AtspiAccessibilityBackend backend(permission);
    TextInserter inserter(backend, clipboard, keys);
    TargetApplication target(QStringLiteral(INSERTION_TARGET_WINDOW), { { u"QT_QPA_PLATFORM"_s, u"wayland"_s } });
    permission.enableBus();
    std::optional<TextInsertionTarget> captured;
    const bool ready = (path == Path::direct || keys.reaches({}))
        && TestUtil::runUntil([&] { return permission.isBusEnabled(); }, std::chrono::seconds(20))
        && target.ask({}, "ready") == "ready" && target.ask("open bench 0 0", "opened bench") == "opened bench"
        && TestUtil::runUntil(
            [&] {
                captured = QCoro::waitFor(inserter.captureTarget());
                return captured && captured->applicationPID == target.pid() && captured->focusedElement;
            },
            std::chrono::seconds(20));
    if (!ready) {
        state.SkipWithError("no Wayland paste path or test window; run under scripts/wayland-session or kde-session");
        return;
    }
    int inserted = 0;
    std::vector<double> times;
    StallMeter stall;
    for (auto _ : state) {
        QElapsedTimer elapsed;
        elapsed.start();
        inserted
            += QCoro::waitFor(inserter.insert(u"Проверка связи. "_s, captured)) == TextInsertionOutcome::inserted();
        times.push_back(double(elapsed.nsecsElapsed()) / 1e6);
    }
    std::sort(times.begin(), times.end());
    state.counters["median_ms"] = times.empty() ? 0.0 : times[times.size() / 2];
    state.counters["inserted"] = benchmark::Counter(inserted, benchmark::Counter::kAvgIterations);
    state.counters["max_stall_ms"] = stall.longestMilliseconds();
}
BENCHMARK_CAPTURE(BM_SecondPressIntoWaylandField, keystroke, Path::keystroke)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(20);
BENCHMARK_CAPTURE(BM_SecondPressIntoWaylandField, direct, Path::direct)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(20);

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // KWin grants its fake input to the program a .desktop file names by its path.
    QFile entry(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + u"/applications/com.plumrest.Vorsik-bench.desktop"_s);
    if (qEnvironmentVariableIsSet("VERBULO_KDE_SESSION") && entry.open(QIODevice::WriteOnly)) {
        entry.write("[Desktop Entry]\nType=Application\nName=Vorsik bench\nExec="
            + QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath().toUtf8()
            + "\nX-KDE-Wayland-Interfaces=org_kde_kwin_fake_input\n");
        entry.close();
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
