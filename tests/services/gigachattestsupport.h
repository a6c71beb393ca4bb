#pragma once

#include "gigachatconfiguration.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QMap>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <QCoro/QCoroTask>

#include <chrono>
#include <exception>
#include <optional>

#include "testutil.h"

// One run of the fake curl, as it recorded itself.
struct FakeCurlCall
{
    QStringList arguments;
    QByteArray configuration;
    QByteArray caFile;
    std::optional<QByteArray> standardInput; // only when "--data-binary" was given
    QString standardInputSource;             // what fd 0 pointed at: "/dev/null" or a pipe
    QMap<QString, QString> permissions;      // "directory", "russian-ca.pem", ... -> octal
    QString workingDirectory;
    double startTime = 0;                    // seconds since the epoch

    QString argumentAfter(const QString &option) const;
};

// The script tests/services/fakecurl.sh in place of curl, answering from steps the test sets.
class FakeCurl
{
public:
    FakeCurl();
    ~FakeCurl();

    static QString path();
    // Answer of run `n` (from 1); n = 0 sets the answer of every run without its own.
    void answer(int n, int exitCode, const QByteArray &standardOutput, const QByteArray &standardError = {},
                const QByteArray &body = {});
    void answerSlowly(int n, double seconds);
    int callCount() const;
    FakeCurlCall call(int n) const;

private:
    QTemporaryDir m_directory;
};

// Points TMPDIR at a fresh directory for the test, so working directories that
// are left behind can be found without looking at anyone else's.
class PrivateTemporaryDirectory
{
public:
    PrivateTemporaryDirectory();
    ~PrivateTemporaryDirectory();
    QString path() const;
    QStringList leftoverWorkingDirectories() const;

private:
    QTemporaryDir m_directory;
    QByteArray m_previous;
};

// Certificates made with openssl when the test runs: a root and a sub CA in the
// shape of the embedded pair, a server certificate for 127.0.0.1 issued by the
// sub CA, and a server certificate from an unrelated CA.
struct TestCertificates
{
    QByteArray rootBase64;
    QByteArray subBase64;
    QSslCertificate server;
    QSslKey serverKey;
    QSslCertificate strangerServer;
    QSslKey strangerKey;

    static const TestCertificates &shared();
};

// production() with curl and, when given, the hosts and addresses replaced.
GigaChatConfiguration configurationWithCurl(const QString &curlPath);

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
template<typename T>
T awaitTask(QCoro::Task<T> task, std::chrono::milliseconds timeout = std::chrono::seconds(90))
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

class LoopbackHttpServer;

// The configuration that sends everything to `server` through the real curl,
// trusting only the test root and sub CA.
GigaChatConfiguration loopbackConfiguration(const LoopbackHttpServer &server);
