#include "audio/audiorecorder.h"
#include "audio/pcmbuffercollector.h"
#include "audio/pcmconverter.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

namespace {

// One capture fragment (2048 frames) of 48 kHz stereo float speech-level tone.
std::vector<float> stereoFragment()
{
    std::vector<float> frames(2048 * 2);
    for (std::size_t frame = 0; frame < 2048; ++frame) {
        const auto value = float(0.3 * std::sin(2.0 * std::numbers::pi * 440.0 * double(frame) / 48000.0));
        frames[frame * 2] = value;
        frames[frame * 2 + 1] = value * 0.5f;
    }
    return frames;
}

// A field of /proc/self/status in kB ("VmRSS", "VmHWM").
long statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

} // namespace

// Conversion cost on the capture thread: 48 kHz stereo float → 24 kHz mono s16,
// ten seconds of audio per iteration in 2048-frame fragments. The x_realtime
// counter is seconds of audio converted per second of CPU.
static void BM_Convert48kStereoFloat(benchmark::State &state)
{
    const std::vector<float> fragment = stereoFragment();
    constexpr int fragmentsPerTenSeconds = 48000 * 10 / 2048;
    qsizetype produced = 0;
    const AbstractAudioRecorder::PCMHandler sink = [&produced](const QByteArray &chunk) { produced += chunk.size(); };
    for (auto _ : state) {
        PCMConverter converter(PCMConverter::SampleType::float32, 48000.0, 2);
        for (int i = 0; i < fragmentsPerTenSeconds; ++i)
            converter.convert(fragment.data(), 2048, sink);
        benchmark::DoNotOptimize(produced);
    }
    const double audioSeconds = double(fragmentsPerTenSeconds) * 2048.0 / 48000.0;
    state.counters["x_realtime"]
        = benchmark::Counter(audioSeconds * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Convert48kStereoFloat)->Unit(benchmark::kMillisecond);

// start() is awaited: it needs an event loop to resume on.
QCoro::Task<> startOrSkip(AudioRecorder &recorder, AbstractAudioRecorder::PCMHandler handler, benchmark::State &state)
{
    std::optional<std::string> failure;
    try {
        co_await recorder.start(std::move(handler), {});
    } catch (const std::exception &error) {
        failure = error.what();
    }
    if (failure)
        state.SkipWithError(failure->c_str());
}

// Time from the call of start() to the first chunk, against the local PulseAudio
// (run inside scripts/headless-session). Reported as median and maximum.
static void BM_StartToFirstChunk(benchmark::State &state)
{
    static int argc = 1;
    static char name[] = "bench_audiorecorder";
    static char *argv[] = { name, nullptr };
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv);
    std::vector<double> latenciesMs;
    for (auto _ : state) {
        std::mutex lock;
        std::condition_variable arrived;
        std::chrono::steady_clock::time_point firstChunk {};
        bool seen = false;
        AudioRecorder recorder;
        const auto started = std::chrono::steady_clock::now();
        QCoro::waitFor(startOrSkip(
            recorder,
            [&](const QByteArray &) {
                std::lock_guard guard(lock);
                if (!seen) {
                    seen = true;
                    firstChunk = std::chrono::steady_clock::now();
                    arrived.notify_one();
                }
            },
            state));
        if (state.error_occurred())
            break;
        std::unique_lock guard(lock);
        if (!arrived.wait_for(guard, std::chrono::seconds(5), [&] { return seen; })) {
            guard.unlock();
            state.SkipWithError("no chunk within five seconds");
            break;
        }
        const double latency = std::chrono::duration<double>(firstChunk - started).count();
        guard.unlock();
        recorder.stop().waitForFinished();
        state.SetIterationTime(latency);
        latenciesMs.push_back(latency * 1000.0);
    }
    if (latenciesMs.empty())
        return;
    std::sort(latenciesMs.begin(), latenciesMs.end());
    state.counters["median_ms"] = latenciesMs[latenciesMs.size() / 2];
    state.counters["max_ms"] = latenciesMs.back();
}
BENCHMARK(BM_StartToFirstChunk)->UseManualTime()->Iterations(40)->Unit(benchmark::kMillisecond);

// Memory held by a ten-minute recording: the converter feeding the collector as
// the capture thread does, then takeAll. growth_ratio is the peak resident
// growth over the PCM size (s16 mono 24 kHz: 28.8 MB).
static void BM_TenMinuteRecordingMemory(benchmark::State &state)
{
    const std::vector<float> fragment = stereoFragment();
    constexpr int fragments = 48000 * 600 / 2048;
    for (auto _ : state) {
        {
            QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
            if (clearRefs.open(QIODevice::WriteOnly))
                clearRefs.write("5"); // resets the peak resident size
        }
        const long baselineKiB = statusKiB("VmRSS");
        PCMBufferCollector collector;
        PCMConverter converter(PCMConverter::SampleType::float32, 48000.0, 2);
        const AbstractAudioRecorder::PCMHandler append
            = [&collector](const QByteArray &chunk) { collector.append(chunk); };
        for (int i = 0; i < fragments; ++i)
            converter.convert(fragment.data(), 2048, append);
        converter.flush(append);
        const QByteArray recording = collector.takeAll();
        const long peakKiB = statusKiB("VmHWM");
        const double pcmBytes = double(recording.size());
        state.counters["pcm_MB"] = pcmBytes / 1e6;
        state.counters["peak_growth_MB"] = double(peakKiB - baselineKiB) * 1024.0 / 1e6;
        state.counters["growth_ratio"] = double(peakKiB - baselineKiB) * 1024.0 / pcmBytes;
        state.counters["capacity_ratio"] = double(recording.capacity()) / pcmBytes;
    }
}
BENCHMARK(BM_TenMinuteRecordingMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
