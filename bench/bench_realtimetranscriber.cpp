#include "services/openai/realtimetranscriber.h"

#include <QCoreApplication>
#include <QWebSocket>
#include <QWebSocketServer>

#include <benchmark/benchmark.h>

// One 100 ms chunk of 24 kHz mono PCM made into the append message.
static void BM_AppendMessage(benchmark::State &state)
{
    const QByteArray pcm(4800, '\x5a');
    for (auto _ : state)
        benchmark::DoNotOptimize(RealtimeTranscriber::appendMessage(pcm));
}
BENCHMARK(BM_AppendMessage);

// From commit() to onFinal against a loopback server that answers at once.
static void BM_CommitToFinal(benchmark::State &state)
{
    QWebSocketServer server(QStringLiteral("bench"), QWebSocketServer::NonSecureMode);
    server.listen(QHostAddress::LocalHost);
    QObject::connect(&server, &QWebSocketServer::newConnection, [&server] {
        QWebSocket *client = server.nextPendingConnection();
        QObject::connect(client, &QWebSocket::textMessageReceived, client, [client](const QString &text) {
            if (text.contains(u"input_audio_buffer.commit"))
                client->sendTextMessage(QStringLiteral(
                    R"({"type":"conversation.item.input_audio_transcription.completed","transcript":"ok"})"));
        });
    });
    bool final = false;
    RealtimeTranscriberCallbacks callbacks;
    callbacks.onFinal = [&final](const QString &) { final = true; };
    RealtimeTranscriber transcriber(
        callbacks, OpenAIConfiguration(QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort())));
    bool connected = false;
    [](RealtimeTranscriber &t, bool &done) -> QCoro::Task<> {
        co_await t.connect(QStringLiteral("sk-bench"), {}, {});
        done = true;
    }(transcriber, connected);
    while (!connected)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    for (auto _ : state) {
        final = false;
        [[maybe_unused]] auto task = transcriber.commit();
        while (!final)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}
BENCHMARK(BM_CommitToFinal)->UseRealTime();

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
