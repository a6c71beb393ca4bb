#pragma once

#include "services/gigachat/gigachatconfiguration.h"
#include "services/gigachat/gigachatcurltransport.h"
#include "servicetestsupport.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

// One run of curl as tests/services/fakecurl.sh plays it: what it prints ("output": the status
// curl's --write-out gives), writes to the --output file, how long it takes (negative: forever)
// and how it exits.
struct CurlAnswer {
    QByteArray output = "200";
    QByteArray body {};
    int exit = 0;
    QByteArray standardError {};
    double seconds = 0;
};

// The fake curl, scripted like the loopback servers: queued answers in order, then the default.
class FakeCurl {
public:
    FakeCurl() { qputenv("FAKE_CURL_DIR", QFile::encodeName(m_directory.path())); }
    ~FakeCurl() { qunsetenv("FAKE_CURL_DIR"); }

    static QString path() { return QStringLiteral(FAKE_CURL_PATH); }
    void enqueue(const CurlAnswer &answer) { write(QStringLiteral("steps/%1").arg(++m_queued), answer); }
    void setDefault(const CurlAnswer &answer) { write(QStringLiteral("steps/default"), answer); }
    int callCount() const { return readFile(m_directory.filePath(QStringLiteral("count"))).trimmed().toInt(); }
    // What run `n` (from 1) recorded: "args", "conf", "ca.pem", "stdin", "stdin-source", "perms",
    // "workdir", "time", "pid".
    QByteArray record(int n, const QString &name) const
    {
        return readFile(m_directory.filePath(QStringLiteral("calls/%1/%2").arg(n).arg(name)));
    }
    QStringList arguments(int n) const
    {
        return QString::fromUtf8(record(n, QStringLiteral("args"))).split(u'\n', Qt::SkipEmptyParts);
    }

private:
    void write(const QString &step, const CurlAnswer &answer)
    {
        const QDir directory(m_directory.filePath(step));
        directory.mkpath(QStringLiteral("."));
        const std::pair<const char *, QByteArray> files[] = { { "exit", QByteArray::number(answer.exit) },
            { "stdout", answer.output }, { "stderr", answer.standardError }, { "body", answer.body },
            { "sleep", QByteArray::number(answer.seconds) } };
        for (const auto &[name, bytes] : files) {
            QFile file(directory.filePath(QString::fromLatin1(name)));
            if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
                qFatal("cannot write the fake curl's %s", name);
        }
    }

    QTemporaryDir m_directory;
    int m_queued = 0;
};

inline GigaChatConfiguration configurationWithCurl(const QString &curlPath)
{
    GigaChatConfiguration configuration = GigaChatConfiguration::production();
    configuration.curlPath = curlPath;
    return configuration;
}

// Everything to `server` through the real curl, trusting only the test root and sub CA.
inline GigaChatConfiguration loopbackConfiguration(const QUrl &base)
{
    GigaChatConfiguration configuration = GigaChatConfiguration::production();
    configuration.oauthHost = configuration.apiHost = base.host();
    configuration.oauthURL = QUrl(base.toString() + QStringLiteral("/api/v2/oauth"));
    configuration.apiBaseURL = base;
    configuration.rootCertificateBase64 = TestCertificates::shared().rootBase64;
    configuration.subCertificateBase64 = TestCertificates::shared().subBase64;
    return configuration;
}

// GigaChat pointed at the fake curl, with no runtime directory and TMPDIR at a fresh directory,
// where curl's working directories go and which every test must leave without one.
class GigaChatTest : public ::testing::Test {
protected:
    GigaChatTest() { qputenv("TMPDIR", QFile::encodeName(m_temporary.path())), qunsetenv("XDG_RUNTIME_DIR"); }
    ~GigaChatTest() override { qputenv("TMPDIR", m_previousTemporary), qputenv("XDG_RUNTIME_DIR", m_runtime); }
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
    QByteArray m_previousTemporary = qgetenv("TMPDIR"), m_runtime = qgetenv("XDG_RUNTIME_DIR");
    QTemporaryDir m_temporary;
};

namespace GigaChatCurlTransport {
inline QString outcomeText(const Response &response)
{
    return QString::number(response.statusCode) + u' ' + QString::fromUtf8(response.data);
}
} // namespace GigaChatCurlTransport
