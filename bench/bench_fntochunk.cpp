// Fn press to the first recorded chunk, with a target capture that takes 250 ms
// (an application that answers slowly): the recording must not wait for it.
// Needs a sound server: run under scripts/headless-session.

#include "audio/audiorecorder.h"
#include "core/appsettings.h"
#include "core/dictationsessioncontroller.h"
#include "fakeneighbours.h"
#include "testutil.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <QCoro/QCoroTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

using namespace std::chrono_literals;

namespace {

class SlowCaptureInserter final : public AbstractTextInserter {
public:
    QCoro::Task<std::optional<TextInsertionTarget>> captureTarget() override
    {
        co_await QCoro::sleepFor(250ms);
        co_return std::nullopt;
    }
    QCoro::Task<TextInsertionOutcome> insert(QString, std::optional<TextInsertionTarget>) override
    {
        co_return TextInsertionOutcome::inserted();
    }
};

class FirstChunkClock final : public AbstractPCMCollector {
public:
    explicit FirstChunkClock(std::atomic<qint64> &at, const QElapsedTimer &clock)
        : m_at(at)
        , m_clock(clock)
    {
    }
    void append(const QByteArray &) override
    {
        qint64 unset = -1;
        m_at.compare_exchange_strong(unset, m_clock.nsecsElapsed());
    }
    QByteArray takeAll() override { return {}; }

private:
    std::atomic<qint64> &m_at;
    const QElapsedTimer &m_clock;
};

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir configHome;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome.path()));
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    AppSettings::setBool(AppSettings::Keys::onboardingCompleted, true);

    FakeNeighbourhood f;
    AudioRecorder recorder;
    SlowCaptureInserter inserter;
    QElapsedTimer clock;
    std::atomic<qint64> firstChunkAt { -1 };
    auto neighbours = f.neighbours();
    neighbours.audioRecorder = &recorder;
    neighbours.textInserter = &inserter;
    neighbours.makeCollector = [&] { return std::make_unique<FirstChunkClock>(firstChunkAt, clock); };
    DictationSessionController controller(neighbours);

    std::vector<double> millis;
    for (int run = 0; run < 15; ++run) {
        firstChunkAt = -1;
        clock.start();
        controller.toggleFnDictation();
        if (!TestUtil::runUntil([&] { return firstChunkAt.load() >= 0; }, 5s)) {
            std::fprintf(stderr, "no audio within 5 s (is a sound server running?)\n");
            return 1;
        }
        millis.push_back(double(firstChunkAt.load()) / 1e6);
        controller.toggleFnDictation();
        TestUtil::runUntil([&] { return controller.state() == DictationState::idle; }, 5s);
    }
    std::sort(millis.begin(), millis.end());
    std::printf("Fn press -> first chunk, capture 250 ms: median %.1f ms, min %.1f ms, max %.1f ms (%zu runs)\n",
        millis[millis.size() / 2], millis.front(), millis.back(), millis.size());
    return millis[millis.size() / 2] <= 150.0 ? 0 : 2;
}
