// The second press under scripts/wayland-session: from insert() to its outcome for a native
// Wayland Qt field, pasted through data control and the session's virtual keyboard.
#include "accessibilitypermission.h"
#include "atspiaccessibilitybackend.h"
#include "insertiontargetapplication.h"
#include "testutil.h"
#include "textinserter.h"
#include "waylandclipboard.h"
#include "waylandconnection.h"
#include "waylandkeystrokesender.h"

#include <QApplication>
#include <QElapsedTimer>

#include <QCoro/QCoroTask>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

void BM_SecondPressIntoWaylandField(benchmark::State &state)
{
    WaylandConnection connection;
    WaylandClipboard clipboard(connection);
    WaylandKeystrokeSender keys(connection, clipboard);
    AccessibilityPermission permission;
    AtspiAccessibilityBackend backend(permission);
    TextInserter inserter(backend, clipboard, keys);
    TargetApplication target(QStringLiteral(INSERTION_TARGET_WINDOW), { { u"QT_QPA_PLATFORM"_s, u"wayland"_s } });
    permission.requestTrust();
    std::optional<TextInsertionTarget> captured;
    const bool ready = keys.reaches({})
        && TestUtil::runUntil([&] { return permission.isTrusted(); }, std::chrono::seconds(20))
        && target.ask({}, "ready") == "ready" && target.ask("open bench 0 0", "opened bench") == "opened bench"
        && TestUtil::runUntil(
            [&] {
                captured = QCoro::waitFor(inserter.captureTarget());
                return captured && captured->applicationPID == target.pid() && captured->focusedElement;
            },
            std::chrono::seconds(20));
    if (!ready) {
        state.SkipWithError("no Wayland paste path or test window; run under scripts/wayland-session");
        return;
    }
    int inserted = 0;
    std::vector<double> times;
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
}
BENCHMARK(BM_SecondPressIntoWaylandField)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
