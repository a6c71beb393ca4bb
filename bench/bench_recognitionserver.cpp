// Recognition on a server: the wait from the second press (commit()) to the final text for
// dictations of 5 to 60 s of speech-like audio, against a stand-in server on loopback that takes
// 300 ms per stretch behind 50-ms links each way. For comparison, the same dictation sent whole
// after the second press, as programs without stretches do, to the same stand-in, which then
// takes its 300 ms for each 3.2-s phrase the recording holds. Prints a table; goal: ≤ 0.5 s and
// flat (60 s ≤ 1.3 × 5 s).
#include "loopbackhttpserver.h"
#include "services/local/resampler.h"
#include "services/server/recognitionserverclient.h"
#include "services/server/servertranscriber.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QtEndian>

#include <QCoro/QCoroTask>

#include <cmath>
#include <cstdio>

using namespace std::chrono_literals;

namespace {

constexpr auto linkDelay = 50ms;
constexpr auto perStretch = 300ms;
constexpr double phrase = 3.2; // seconds of the dictation's rhythm: 2.4 s of speech, 0.8 s of pause

// Speech-like 24 kHz s16: 2.4-s phrases of gliding tone in 200-ms syllables with 0.8-s pauses.
QByteArray dictation(int seconds)
{
    QByteArray pcm;
    for (int i = 0; i < seconds * 24000; ++i) {
        const double t = double(i) / 24000.0;
        const double voice = std::fmod(t, phrase) < 2.4 ? 6000 * std::abs(std::sin(M_PI * t / 0.2)) : 0;
        const auto sample = qint16(voice * std::sin(2 * M_PI * (180 + 40 * std::sin(t * 3)) * t));
        pcm.append(reinterpret_cast<const char *>(&sample), 2);
    }
    return pcm;
}

void waitUntil(const bool &done)
{
    while (!done)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

RecognitionServerClient::Settings serverSettings(const LoopbackHttpServer &server)
{
    RecognitionServerClient::Settings settings;
    settings.url = server.baseUrl();
    settings.model = QStringLiteral("m");
    settings.deadlineBase = 60s;
    return settings;
}

// Fed in real time in 100-ms chunks, stretches going out as the pauses come.
double withStretches(const LoopbackHttpServer &server, int seconds)
{
    bool done = false;
    QElapsedTimer sinceCommit;
    qint64 wait = 0;
    ServerTranscriber transcriber({ {}, [&](const QString &) { wait = sinceCommit.elapsed(), done = true; },
                                      [&](const QString &) { done = true; }, {} },
        nullptr, { .server = serverSettings(server) });
    QCoro::waitFor(transcriber.connect({}, {}, {}));
    const QByteArray pcm = dictation(seconds);
    QElapsedTimer clock;
    clock.start();
    for (qsizetype at = 0; at < pcm.size(); at += 4800) {
        QCoro::waitFor(transcriber.appendAudio(pcm.mid(at, 4800)));
        while (clock.elapsed() < (at / 4800 + 1) * 100)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    sinceCommit.start();
    QCoro::waitFor(transcriber.commit());
    waitUntil(done);
    return double(wait) / 1000.0;
}

// The whole recording in one request after the second press.
double whole(const LoopbackHttpServer &server, int seconds)
{
    const QByteArray pcm = dictation(seconds);
    QElapsedTimer sincePress;
    sincePress.start();
    Resampler resampler(24000.0);
    std::vector<float> samples = resampler.processPCM16(pcm);
    const std::vector<float> tail = resampler.flush();
    samples.insert(samples.end(), tail.begin(), tail.end());
    RecognitionServerClient client(serverSettings(server));
    QCoro::waitFor(client.recognise(std::move(samples), {}));
    return double(sincePress.elapsed()) / 1000.0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    bool wholeRecordings = false;
    LoopbackHttpServer server;
    if (!server.listen())
        return 1;
    server.setHandler([&wholeRecordings](const LoopbackHttpServer::Request &request) {
        if (request.method == "GET")
            return LoopbackHttpServer::Response::json(200, R"({"data": [{"id": "m"}]})");
        const qsizetype wav = request.body.indexOf("RIFF");
        const double audio = qFromLittleEndian<quint32>(request.body.constData() + wav + 40) / 32000.0;
        auto answer = LoopbackHttpServer::Response::json(200, R"({"text": "слово"})");
        answer.delay = 2 * linkDelay + (wholeRecordings ? perStretch * int(std::ceil(audio / phrase)) : perStretch);
        return answer;
    });
    std::printf("stand-in: %lld ms per stretch, %lld-ms links each way\n", qint64(perStretch.count()),
        qint64(linkDelay.count()));
    double first = 0;
    for (const int seconds : { 5, 15, 30, 60 }) {
        wholeRecordings = false;
        const double incremental = withStretches(server, seconds);
        first = seconds == 5 ? incremental : first;
        wholeRecordings = true;
        const double once = whole(server, seconds);
        std::printf("%2d s dictation: second press → final %.3f s (%.2f × the 5-s one); sent whole: %.3f s\n", seconds,
            incremental, incremental / first, once);
    }
    return 0;
}
