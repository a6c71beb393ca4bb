// Insertion into the test window under scripts/headless-session: the time from
// insert() to its outcome, the time one capture spends in AT-SPI calls, and the
// longest the main thread's event loop went without turning meanwhile.
#include "insertion/atspi/accessibilitypermission.h"
#include "insertion/atspi/atspiaccessibilitybackend.h"
#include "insertion/textinserter.h"
#include "insertion/x11/qtclipboard.h"
#include "insertion/x11/xtestkeystrokesender.h"
#include "insertiontargetapplication.h"
#include "stallmeter.h"
#include "testutil.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QTimer>

#include <QCoro/QCoroTask>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

// XTest keystrokes, or none reaching the window, so that the text goes in over the accessibility bus.
class SwitchableKeys final : public AbstractKeystrokeSender {
public:
    bool direct = false;
    bool sendPaste(PasteShortcut shortcut) override { return m_keys.sendPaste(shortcut); }
    bool reaches(const TextInsertionTarget &target) const override { return !direct && m_keys.reaches(target); }

private:
    XTestKeystrokeSender m_keys;
};

struct Rig {
    AccessibilityPermission permission;
    AtspiAccessibilityBackend backend { permission };
    QtClipboard clipboard;
    SwitchableKeys keys;
    TextInserter inserter { backend, clipboard, keys };
    TargetApplication target { QStringLiteral(INSERTION_TARGET_WINDOW) };
    std::optional<TextInsertionTarget> captured;

    bool start()
    {
        permission.enableBus();
        if (!TestUtil::runUntil([&] { return permission.isBusEnabled(); }, std::chrono::seconds(20)))
            return false;
        if (target.ask({}, "ready") != "ready" || target.ask("open bench 100 100", "opened bench") != "opened bench")
            return false;
        return TestUtil::runUntil(
            [&] {
                captured = QCoro::waitFor(inserter.captureTarget());
                return captured && captured->applicationPID == target.pid() && captured->focusedElement;
            },
            std::chrono::seconds(20));
    }
};

// Made on first use, dropped before the application object goes.
std::unique_ptr<Rig> instance;

Rig *rig(benchmark::State &state)
{
    if (!instance) {
        instance = std::make_unique<Rig>();
        if (!instance->start()) {
            state.SkipWithError("the test window did not come up; run under scripts/headless-session");
            return nullptr;
        }
    }
    return instance.get();
}

// Argument 0: clipboard and Ctrl+V; 1: straight into the field over the accessibility bus.
void BM_InsertIntoTestWindow(benchmark::State &state)
{
    Rig *r = rig(state);
    if (!r)
        return;
    r->keys.direct = state.range(0) == 1;
    int inserted = 0;
    std::vector<double> times;
    StallMeter stall;
    for (auto _ : state) {
        QElapsedTimer elapsed;
        elapsed.start();
        const TextInsertionOutcome outcome = QCoro::waitFor(r->inserter.insert(u"Проверка связи. "_s, r->captured));
        times.push_back(double(elapsed.nsecsElapsed()) / 1e6);
        inserted += outcome == TextInsertionOutcome::inserted();
    }
    std::sort(times.begin(), times.end());
    state.counters["median_ms"] = times.empty() ? 0.0 : times[times.size() / 2];
    state.counters["inserted"] = benchmark::Counter(inserted, benchmark::Counter::kAvgIterations);
    state.counters["max_stall_ms"] = stall.longestMilliseconds();
}
BENCHMARK(BM_InsertIntoTestWindow)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

void BM_CaptureTarget(benchmark::State &state)
{
    Rig *r = rig(state);
    if (!r)
        return;
    const auto before = r->backend.timeInCalls();
    StallMeter stall;
    for (auto _ : state)
        benchmark::DoNotOptimize(QCoro::waitFor(r->inserter.captureTarget()));
    const double inCalls = std::chrono::duration<double, std::milli>(r->backend.timeInCalls() - before).count();
    state.counters["atspi_ms"] = benchmark::Counter(inCalls, benchmark::Counter::kAvgIterations);
    state.counters["max_stall_ms"] = stall.longestMilliseconds();
}
BENCHMARK(BM_CaptureTarget)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(200);

} // namespace

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "xcb");
    else
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    instance.reset();
    return 0;
}
