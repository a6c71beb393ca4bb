#include "audio/pcmbuffercollector.h"
#include "audio/wavencoder.h"

#include <benchmark/benchmark.h>

#include <chrono>

// 60 s of s16le mono 24 kHz PCM.
constexpr qsizetype minuteOfPCM = 2'880'000;

static void BM_EncodeMinute(benchmark::State &state)
{
    const QByteArray pcm(minuteOfPCM, '\x11');
    for (auto _ : state) {
        QByteArray wav = WAVEncoder::encodePCM16Mono24kHz(pcm);
        benchmark::DoNotOptimize(wav.data());
    }
    state.SetBytesProcessed(state.iterations() * minuteOfPCM);
}
BENCHMARK(BM_EncodeMinute)->Unit(benchmark::kMicrosecond);

// The whole path a dictation takes: collector filled in 2048-frame chunks, one
// takeAll, one encode.
static void BM_TakeAllThenEncode(benchmark::State &state)
{
    const QByteArray chunk(2048, '\x22');
    for (auto _ : state) {
        PCMBufferCollector collector;
        for (qsizetype filled = 0; filled < minuteOfPCM; filled += chunk.size())
            collector.append(chunk);
        const auto start = std::chrono::steady_clock::now();
        QByteArray wav = WAVEncoder::encodePCM16Mono24kHz(collector.takeAll());
        benchmark::DoNotOptimize(wav.data());
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
}
BENCHMARK(BM_TakeAllThenEncode)->UseManualTime()->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
