#pragma once

#include "gigachatconfiguration.h"
#include "gigachatcurltransport.h"
#include "servicetestsupport.h"

#include <QDir>
#include <QTemporaryDir>

// One run of curl as the fake plays it: what it prints ("output": the status curl's --write-out
// gives), writes to the --output file, how long it takes (negative: forever) and how it exits.
struct CurlAnswer {
    QByteArray output = "200";
    QByteArray body {};
    int exit = 0;
    QByteArray standardError {};
    double seconds = 0;
};

// tests/services/fakecurl.sh in place of curl, scripted like the loopback servers: queued answers
// in order, then the default.
class FakeCurl {
public:
    FakeCurl() { qputenv("FAKE_CURL_DIR", QFile::encodeName(m_directory.path())); }
    ~FakeCurl() { qunsetenv("FAKE_CURL_DIR"); }

    static QString path() { return QStringLiteral(FAKE_CURL_PATH); }
    void enqueue(const CurlAnswer &answer) { write(QStringLiteral("steps/%1").arg(++m_queued), answer); }
    void setDefault(const CurlAnswer &answer) { write(QStringLiteral("steps/default"), answer); }
    int callCount() const { return record(0, QStringLiteral("count")).trimmed().toInt(); }
    // What run `n` (from 1) recorded: "args", "conf", "ca.pem", "stdin", "stdin-source", "perms",
    // "workdir", "time", "pid".
    QByteArray record(int n, const QString &name) const;
    QStringList arguments(int n) const;

private:
    void write(const QString &step, const CurlAnswer &answer);

    QTemporaryDir m_directory;
    int m_queued = 0;
};

// Made with openssl when first asked for: a root and a sub CA in the shape of the embedded pair,
// a server certificate for 127.0.0.1 issued by the sub CA, and one from an unrelated CA.
struct TestCertificates {
    QByteArray rootBase64, subBase64;
    QSslCertificate server, strangerServer;
    QSslKey serverKey, strangerKey;

    static const TestCertificates &shared();
};

GigaChatConfiguration configurationWithCurl(const QString &curlPath);
// Everything to `server` through the real curl, trusting only the test root and sub CA.
GigaChatConfiguration loopbackConfiguration(const LoopbackHttpServer &server);

// GigaChat pointed at the fake curl, with TMPDIR at a fresh directory that every test
// must leave without a working directory.
class GigaChatTest : public ::testing::Test {
protected:
    GigaChatTest() { qputenv("TMPDIR", QFile::encodeName(m_temporary.path())); }
    ~GigaChatTest() override { qputenv("TMPDIR", m_previousTemporary); }
    void SetUp() override { GigaChatConfiguration::replaceForTesting(configurationWithCurl(FakeCurl::path())); }
    void TearDown() override
    {
        EXPECT_EQ(
            QDir(temporaryPath()).entryList({ QStringLiteral("Verbulo-Giga-*") }, QDir::AllEntries | QDir::Hidden),
            QStringList());
        GigaChatConfiguration::replaceForTesting(std::nullopt);
    }
    QString temporaryPath() const { return m_temporary.path(); }

    FakeCurl curl;

private:
    QByteArray m_previousTemporary = qgetenv("TMPDIR");
    QTemporaryDir m_temporary;
};

namespace GigaChatCurlTransport {
inline QString outcomeText(const Response &response)
{
    return QString::number(response.statusCode) + u' ' + QString::fromUtf8(response.data);
}
} // namespace GigaChatCurlTransport
