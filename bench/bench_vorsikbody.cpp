#include "audio/pcmbuffercollector.h"
#include "services/vorsik/vorsikapiclient.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>

using namespace Qt::StringLiterals;

// Counts the large heap blocks requested while a body is built, by wrapping the C
// allocator for this program: a copy of the recording shows up as one more block the
// size of the recording, whatever code made it.
extern "C" void *__libc_malloc(size_t size);
extern "C" void *__libc_realloc(void *block, size_t size);

namespace {

constexpr size_t largeBlock = 64 * 1024;
std::atomic<bool> counting { false };
std::atomic<long long> largeBlocks { 0 };
std::atomic<long long> largeBytes { 0 };

void note(size_t size)
{
    if (size >= largeBlock && counting.load(std::memory_order_relaxed)) {
        largeBlocks.fetch_add(1, std::memory_order_relaxed);
        largeBytes.fetch_add(static_cast<long long>(size), std::memory_order_relaxed);
    }
}

} // namespace

extern "C" void *malloc(size_t size)
{
    note(size);
    return __libc_malloc(size);
}

extern "C" void *realloc(void *block, size_t size)
{
    note(size);
    return __libc_realloc(block, size);
}

namespace {

// 60 s of s16le mono 24 kHz PCM.
constexpr qsizetype minuteOfPCM = 2'880'000;

const QStringList vocabulary { u"ChatGPT"_s, u"Ворсик"_s, u"GigaChat"_s };
const QString context = u"Письма коллегам и заметки о работе"_s;

void reportCopies(benchmark::State &state)
{
    const double runs = static_cast<double>(state.iterations());
    state.counters["large_blocks_per_body"] = static_cast<double>(largeBlocks.load()) / runs;
    state.counters["PCM_copies_per_body"] = static_cast<double>(largeBytes.load()) / runs / minuteOfPCM;
}

} // namespace

// The body routine alone, for a minute of recording.
static void BM_DictationBodyOneMinute(benchmark::State &state)
{
    const QByteArray pcm(minuteOfPCM, '\x11');
    const QByteArray boundary = VorsikAPIClient::newBoundary();
    largeBlocks = 0;
    largeBytes = 0;
    for (auto _ : state) {
        counting = true;
        QByteArray body = VorsikAPIClient::dictationBody(pcm, SmartMode::clean, context, vocabulary, boundary);
        counting = false;
        benchmark::DoNotOptimize(body.data());
    }
    reportCopies(state);
    state.SetBytesProcessed(state.iterations() * minuteOfPCM);
}
BENCHMARK(BM_DictationBodyOneMinute)->Unit(benchmark::kMicrosecond);

// The path a dictation takes from the collector to the bytes handed to Qt: one
// takeAll (which moves the storage out), the by-value hand-over, the body.
static void BM_TakeAllThenBody(benchmark::State &state)
{
    const QByteArray chunk(2048, '\x22');
    const QByteArray boundary = VorsikAPIClient::newBoundary();
    largeBlocks = 0;
    largeBytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        PCMBufferCollector collector;
        for (qsizetype filled = 0; filled < minuteOfPCM; filled += chunk.size())
            collector.append(chunk);
        state.ResumeTiming();
        counting = true;
        QByteArray pcm = collector.takeAll();
        QByteArray body
            = VorsikAPIClient::dictationBody(std::move(pcm), SmartMode::clean, context, vocabulary, boundary);
        counting = false;
        benchmark::DoNotOptimize(body.data());
    }
    reportCopies(state);
}
BENCHMARK(BM_TakeAllThenBody)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
