#pragma once

#include "gigachatconfiguration.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <QCoro/QCoroTask>

#include <gtest/gtest.h>

#include <chrono>
#include <exception>
#include <optional>

#include "testutil.h"

// One run of the fake curl, as it recorded itself.
struct FakeCurlCall {
    QStringList arguments;
    QByteArray configuration;
    QByteArray caFile;
    std::optional<QByteArray> standardInput; // only when "--data-binary" was given
    QString standardInputSource; // what fd 0 pointed at: "/dev/null" or a pipe
    QMap<QString, QString> permissions; // "directory", "russian-ca.pem", ... -> octal
    QString workingDirectory;
    double startTime = 0; // seconds since the epoch

    QString argumentAfter(const QString &option) const;
};

// The script tests/services/fakecurl.sh in place of curl, answering from steps the test sets.
class FakeCurl {
public:
    FakeCurl() { qputenv("FAKE_CURL_DIR", QFile::encodeName(m_directory.path())); }
    ~FakeCurl() { qunsetenv("FAKE_CURL_DIR"); }

    static QString path() { return QStringLiteral(FAKE_CURL_PATH); }
    // Answer of run `n` (from 1); n = 0 sets the answer of every run without its own.
    // The run waits `seconds` before it ends.
    void answer(int n, int exitCode, const QByteArray &standardOutput, const QByteArray &standardError = {},
        const QByteArray &body = {}, double seconds = 0);
    int callCount() const;
    FakeCurlCall call(int n) const;

private:
    QTemporaryDir m_directory;
};

// Certificates made with openssl when the test runs: a root and a sub CA in the
// shape of the embedded pair, a server certificate for 127.0.0.1 issued by the
// sub CA, and a server certificate from an unrelated CA.
struct TestCertificates {
    QByteArray rootBase64;
    QByteArray subBase64;
    QSslCertificate server;
    QSslKey serverKey;
    QSslCertificate strangerServer;
    QSslKey strangerKey;

    static const TestCertificates &shared();
};

// production() with curl replaced.
GigaChatConfiguration configurationWithCurl(const QString &curlPath);

class LoopbackHttpServer;

// The configuration that sends everything to `server` through the real curl,
// trusting only the test root and sub CA.
GigaChatConfiguration loopbackConfiguration(const LoopbackHttpServer &server);

// GigaChat pointed at the fake curl, with TMPDIR at a fresh directory that every test
// must leave without a working directory (so none is mistaken for anyone else's).
class GigaChatTest : public ::testing::Test {
protected:
    GigaChatTest()
        : m_previousTemporary(qgetenv("TMPDIR"))
    {
        qputenv("TMPDIR", QFile::encodeName(m_temporary.path()));
    }
    ~GigaChatTest() override
    {
        if (m_previousTemporary.isEmpty())
            qunsetenv("TMPDIR");
        else
            qputenv("TMPDIR", m_previousTemporary);
    }
    void SetUp() override { GigaChatConfiguration::replaceForTesting(configurationWithCurl(FakeCurl::path())); }
    void TearDown() override
    {
        const QDir temporary(temporaryPath());
        EXPECT_EQ(
            temporary.entryList({ QStringLiteral("Verbulo-Giga-*") }, QDir::AllEntries | QDir::Hidden | QDir::System),
            QStringList());
        GigaChatConfiguration::replaceForTesting(std::nullopt);
    }
    QString temporaryPath() const { return m_temporary.path(); }

    FakeCurl curl;

private:
    QTemporaryDir m_temporary;
    QByteArray m_previousTemporary;
};

namespace TestAwait {
template<typename T>
QCoro::Task<> collect(QCoro::Task<T> task, std::optional<T> *value, std::exception_ptr *error, bool *done)
{
    try {
        value->emplace(co_await task);
    } catch (...) {
        *error = std::current_exception();
    }
    *done = true;
}
} // namespace TestAwait

// Runs the event loop until the task ends; returns its value or rethrows its error.
template<typename T> T awaitTask(QCoro::Task<T> task, std::chrono::milliseconds timeout = std::chrono::seconds(90))
{
    std::optional<T> value;
    std::exception_ptr error;
    bool done = false;
    auto collector = TestAwait::collect(std::move(task), &value, &error, &done);
    if (!TestUtil::runUntil([&done] { return done; }, timeout))
        qFatal("a GigaChat task did not finish in time");
    if (error)
        std::rethrow_exception(error);
    return std::move(*value);
}

// The error of type `Error` that `call` throws; none when it throws nothing.
template<typename Error, typename Call> std::optional<Error> errorOf(Call &&call)
{
    try {
        call();
    } catch (const Error &error) {
        return error;
    }
    return std::nullopt;
}
