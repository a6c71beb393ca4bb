// Recognition on this computer with whisper.cpp's test models (real shapes, meaningless
// weights, so the encoder's time is the real one): real-time factor, the wait from commit()
// to the final text for dictations of 5 to 60 s (in a quiet room and over a -40 dBFS
// background), memory with the model loaded and released, the main thread's longest stall
// while recognising, and the encoder with the full 30-s window against a context cut to the
// audio. Two threads. Prints a table.
#include "localtranscriber.h"
#include "recognitionworker.h"
#include "recognitionmodel.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>

using namespace std::chrono_literals;

namespace {

QString model(const char *name)
{
    return QStringLiteral(WHISPER_TEST_MODELS "/for-tests-ggml-%1.bin").arg(QLatin1StringView(name));
}

long residentMiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    return statm.readAll().split(' ').value(1).toLong() * 4096 / (1024 * 1024);
}

// Speech-like 24 kHz s16: 2.4-s phrases of gliding tone in 200-ms syllables with 0.8-s pauses,
// over white noise of `noise` dBFS RMS if given.
QByteArray dictation(int seconds, std::optional<double> noise)
{
    std::mt19937 random(1);
    std::normal_distribution<double> room(0.0, 32768 * std::pow(10.0, noise.value_or(-300.0) / 20));
    QByteArray pcm;
    for (int i = 0; i < seconds * 24000; ++i) {
        const double t = double(i) / 24000.0;
        const double voice = std::fmod(t, 3.2) < 2.4 ? 6000 * std::abs(std::sin(M_PI * t / 0.2)) : 0;
        const auto sample = qint16(voice * std::sin(2 * M_PI * (180 + 40 * std::sin(t * 3)) * t) + room(random));
        pcm.append(reinterpret_cast<const char *>(&sample), 2);
    }
    return pcm;
}

void benchEncoder(const char *name)
{
    const auto whisper = RecognitionModel::load(model(name));
    const std::vector<float> audio(16000 * 5, 0.05f);
    const std::atomic_bool never = false;
    for (const bool shortContext : { false, true }) {
        RecognitionModel::Options options;
        options.threads = 2;
        options.shortAudioContext = shortContext;
        QElapsedTimer clock;
        clock.start();
        whisper->recognise(audio, options, never);
        const double seconds = double(clock.elapsed()) / 1000.0;
        std::printf("%-6s 5 s of audio, %s: %.2f s (real-time factor %.2f)\n", name,
            shortContext ? "audio_ctx 320 (cut)" : "full 30-s window   ", seconds, seconds / 5.0);
    }
}

// Returns the wait from commit() to the final text, in seconds.
double benchDictation(const char *name, int seconds, RecognitionWorker &worker, std::optional<double> noise = {})
{
    bool done = false;
    QElapsedTimer sinceCommit;
    qint64 wait = 0;
    LocalTranscriber transcriber({ {}, [&](const QString &) { wait = sinceCommit.elapsed(), done = true; },
                                     [&](const QString &) { done = true; }, {} },
        std::shared_ptr<RecognitionWorker>(&worker, [](RecognitionWorker *) {}),
        { .modelPath = model(name), .threads = 2 });
    QCoro::waitFor(transcriber.connect({}, {}, {}));
    // Fed in real time, 100-ms chunks, while a 5-ms timer measures the main thread's stalls.
    const QByteArray pcm = dictation(seconds, noise);
    qint64 longestGap = 0;
    QElapsedTimer gap;
    gap.start();
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, &ticker, [&] { longestGap = std::max(longestGap, gap.restart()); });
    ticker.start(5);
    QElapsedTimer clock;
    clock.start();
    for (qsizetype at = 0; at < pcm.size(); at += 4800) {
        QCoro::waitFor(transcriber.appendAudio(pcm.mid(at, 4800)));
        while (clock.elapsed() < (at / 4800 + 1) * 100)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    sinceCommit.start();
    QCoro::waitFor(transcriber.commit());
    while (!done)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    std::printf("%-6s %2d s dictation, %s: commit → final %.2f s; main thread's longest gap %lld ms\n", name, seconds,
        noise ? "over -40 dBFS" : "quiet        ", double(wait) / 1000.0, longestGap - 5);
    return double(wait) / 1000.0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // --waits: only the waits that the noisy-room goal compares, on base.
    const bool waitsOnly = app.arguments().contains(QStringLiteral("--waits"));
    for (const char *name : { "tiny", "base", "small" }) {
        if (!waitsOnly)
            benchEncoder(name);
    }

    for (const char *name : { "tiny", "base" }) {
        if (waitsOnly && std::strcmp(name, "base") != 0)
            continue;
        RecognitionWorker worker;
        const long before = residentMiB();
        worker.preload(model(name)).waitForFinished();
        const long loaded = residentMiB();
        double quietShort = 0;
        for (const int seconds : { 5, 15, 30, 60 }) {
            const double wait = seconds == 5 || !waitsOnly ? benchDictation(name, seconds, worker) : 0;
            quietShort = seconds == 5 ? wait : quietShort;
        }
        if (std::strcmp(name, "base") == 0) {
            // The wait after a long dictation in a noisy room should stay near a short one's in a quiet room.
            benchDictation(name, 5, worker, -40.0);
            const double noisyLong = benchDictation(name, 60, worker, -40.0);
            std::printf("%-6s noisy 60 s against quiet 5 s: %.2f ×\n", name, noisyLong / quietShort);
        }
        const long dictated = residentMiB();
        worker.setKeepTime(1ms);
        worker.touch();
        while (worker.isLoaded())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::printf("%-6s resident memory: %ld MiB before loading, %ld MiB loaded (after dictating %ld MiB), "
                    "%ld MiB released\n",
            name, before, loaded, dictated, residentMiB());
    }
    return 0;
}
