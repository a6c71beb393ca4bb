#include "loopbackhttpserver.h"
#include "testutil.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Response = LoopbackHttpServer::Response;

namespace {

struct CurlResult
{
    int exitCode = -1;
    QByteArray output;
};

// Runs curl without blocking the event loop the server lives on.
CurlResult curl(const QStringList &arguments)
{
    QProcess process;
    process.start(u"curl"_s, QStringList{u"-sS"_s, u"--max-time"_s, u"20"_s} + arguments);
    EXPECT_TRUE(process.waitForStarted(10'000));
    EXPECT_TRUE(TestUtil::runUntil([&] { return process.state() == QProcess::NotRunning; }, 30s));
    return {process.exitCode(), process.readAllStandardOutput()};
}

} // namespace

TEST(LoopbackHttpServerTest, RecordsAChunkedUploadRawAndDecoded)
{
    LoopbackHttpServer server;
    ASSERT_TRUE(server.listen());
    server.enqueue(Response::text(201, "stored"));
    QTemporaryDir dir;
    QFile file(dir.filePath(u"body"_s));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    const QByteArray payload = QByteArray(70'000, 'a') + "\r\n--end";
    file.write(payload);
    file.close();

    const CurlResult result = curl({u"--data-binary"_s, u"@"_s + file.fileName(), u"-H"_s,
                                    u"Transfer-Encoding: chunked"_s, u"-H"_s, u"Expect: 100-continue"_s,
                                    u"-H"_s, u"X-Order: 1"_s, server.url(u"/up"_s).toString() + u"?q=1"_s});

    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output, "stored");
    ASSERT_EQ(server.requestCount(), 1);
    const LoopbackHttpServer::Request &request = server.requests().at(0);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/up?q=1");
    EXPECT_EQ(request.path, "/up");
    EXPECT_EQ(request.header("x-order"), QByteArray("1"));
    EXPECT_EQ(request.body, payload);
    EXPECT_TRUE(request.raw.startsWith("POST /up?q=1 HTTP/1.1\r\n"));
    EXPECT_TRUE(request.raw.endsWith("0\r\n\r\n"));
    EXPECT_GT(request.raw.size(), payload.size()); // the chunk framing is kept
}
