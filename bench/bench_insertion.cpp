// Insertion into the test window under scripts/headless-session: the time from
// insert() to its outcome, and the time one capture spends in AT-SPI calls.
#include "accessibilitypermission.h"
#include "atspiaccessibilitybackend.h"
#include "insertiontargetapplication.h"
#include "qtclipboard.h"
#include "textinserter.h"
#include "xtestkeystrokesender.h"

#include <QApplication>
#include <QDeadlineTimer>

#include <QCoro/QCoroTask>

#include <benchmark/benchmark.h>

#include <functional>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

struct Rig
{
    AccessibilityPermission permission;
    AtspiAccessibilityBackend backend{permission};
    QtClipboard clipboard;
    XTestKeystrokeSender keys;
    TextInserter inserter{backend, clipboard, keys};
    TargetApplication target{QStringLiteral(INSERTION_TARGET_WINDOW)};
    std::optional<TextInsertionTarget> captured;

    static bool waitFor(const std::function<bool()> &done)
    {
        QDeadlineTimer deadline(std::chrono::seconds(20));
        while (!done()) {
            if (deadline.hasExpired())
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 10);
        }
        return true;
    }

    bool start()
    {
        permission.requestTrust();
        if (!waitFor([&] { return permission.isTrusted(); }))
            return false;
        if (target.ask({}, "ready") != "ready" || target.ask("open bench 100 100", "opened bench") != "opened bench")
            return false;
        return waitFor([&] {
            captured = QCoro::waitFor(inserter.captureTarget());
            return captured && captured->applicationPID == target.pid() && captured->focusedElement;
        });
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

void BM_InsertIntoTestWindow(benchmark::State &state)
{
    Rig *r = rig(state);
    if (!r)
        return;
    int inserted = 0;
    for (auto _ : state) {
        const TextInsertionOutcome outcome = QCoro::waitFor(r->inserter.insert(u"Проверка связи. "_s, r->captured));
        inserted += outcome == TextInsertionOutcome::inserted();
    }
    state.counters["inserted"] = benchmark::Counter(inserted, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_InsertIntoTestWindow)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

void BM_CaptureTarget(benchmark::State &state)
{
    Rig *r = rig(state);
    if (!r)
        return;
    const auto before = r->backend.timeInCalls();
    for (auto _ : state)
        benchmark::DoNotOptimize(QCoro::waitFor(r->inserter.captureTarget()));
    const double inCalls = std::chrono::duration<double, std::milli>(r->backend.timeInCalls() - before).count();
    state.counters["atspi_ms"] = benchmark::Counter(inCalls, benchmark::Counter::kAvgIterations);
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
