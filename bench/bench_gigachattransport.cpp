#include "services/gigachat/gigachatconfiguration.h"
#include "services/gigachat/gigachatcurltransport.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QProcess>

#include <benchmark/benchmark.h>

#include <exception>
#include <optional>

using namespace Qt::StringLiterals;

// Per-exchange overhead of the transport beyond curl's own run: working
// directory, the three files, the spawn, the wait and the removal. curl is
// replaced by a stand-in that answers at once; BM_StandInAlone is the stand-in's
// own spawn and run, for comparison.

namespace {

using GigaChatCurlTransport::Response;

QCoro::Task<> collect(QCoro::Task<Response> task, std::optional<Response> *response, std::exception_ptr *error,
    bool *done, QEventLoop *loop)
{
    try {
        response->emplace(co_await std::move(task));
    } catch (...) {
        *error = std::current_exception();
    }
    *done = true;
    loop->quit();
}

// send() waited for in a local event loop: a benchmark's loop has none of its own.
Response sendSynchronously(
    const GigaChatCurlTransport::Request &request, const std::optional<QByteArray> &body, double timeout)
{
    // QCoro::waitFor never returns when the task throws, so the outcome is collected here.
    std::optional<Response> response;
    std::exception_ptr error;
    bool done = false;
    QEventLoop loop;
    QCoro::Task<> collecting
        = collect(GigaChatCurlTransport::send(request, body, timeout), &response, &error, &done, &loop);
    if (!done)
        loop.exec();
    if (error)
        std::rethrow_exception(error);
    return std::move(*response);
}

GigaChatCurlTransport::Request modelListRequest()
{
    GigaChatCurlTransport::Request request;
    request.url = QUrl(u"https://gigachat.devices.sberbank.ru/v1/models"_s);
    request.method = u"GET"_s;
    request.headers = { { u"Authorization"_s, u"Bearer token"_s }, { u"Accept"_s, u"application/json"_s } };
    return request;
}

void useStandIn()
{
    GigaChatConfiguration configuration = GigaChatConfiguration::production();
    configuration.curlPath = QStringLiteral(CURL_STAND_IN);
    GigaChatConfiguration::replaceForTesting(configuration);
}

} // namespace

static void BM_ExchangeWithoutBody(benchmark::State &state)
{
    useStandIn();
    const auto request = modelListRequest();
    for (auto _ : state) {
        auto response = sendSynchronously(request, std::nullopt, 120);
        benchmark::DoNotOptimize(response.statusCode);
    }
}
BENCHMARK(BM_ExchangeWithoutBody)->Unit(benchmark::kMillisecond)->UseRealTime();

static void BM_ExchangeWithEmptyBody(benchmark::State &state)
{
    useStandIn();
    const auto request = modelListRequest();
    for (auto _ : state) {
        auto response = sendSynchronously(request, QByteArray(""), 120);
        benchmark::DoNotOptimize(response.statusCode);
    }
}
BENCHMARK(BM_ExchangeWithEmptyBody)->Unit(benchmark::kMillisecond)->UseRealTime();

// A one-minute recording's upload body (about 2.9 MB) through standard input.
static void BM_ExchangeWithMinuteUpload(benchmark::State &state)
{
    useStandIn();
    const auto request = modelListRequest();
    const QByteArray body(2'880'044, '\x11');
    for (auto _ : state) {
        auto response = sendSynchronously(request, body, 120);
        benchmark::DoNotOptimize(response.statusCode);
    }
}
BENCHMARK(BM_ExchangeWithMinuteUpload)->Unit(benchmark::kMillisecond)->UseRealTime();

static void BM_StandInAlone(benchmark::State &state)
{
    for (auto _ : state) {
        QProcess process;
        process.start(QStringLiteral(CURL_STAND_IN), {});
        process.waitForFinished(-1);
        benchmark::DoNotOptimize(process.exitCode());
    }
}
BENCHMARK(BM_StandInAlone)->Unit(benchmark::kMillisecond)->UseRealTime();

static void BM_CertificatePEMData(benchmark::State &state)
{
    GigaChatConfiguration::replaceForTesting(std::nullopt);
    for (auto _ : state) {
        QByteArray pem = GigaChatCurlTransport::certificatePEMData();
        benchmark::DoNotOptimize(pem.data());
    }
}
BENCHMARK(BM_CertificatePEMData)->Unit(benchmark::kMicrosecond);

static void BM_ConfigurationText(benchmark::State &state)
{
    const auto request = modelListRequest();
    for (auto _ : state) {
        QByteArray text = GigaChatCurlTransport::configurationText(request.headers);
        benchmark::DoNotOptimize(text.data());
    }
}
BENCHMARK(BM_ConfigurationText)->Unit(benchmark::kMicrosecond);

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
