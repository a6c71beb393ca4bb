#include "gigachatcurltransport.h"

#include "gigachatconfiguration.h"
#include "gigachaterror.h"

#include <QCollator>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QSet>
#include <QStringDecoder>
#include <QThreadPool>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>

#include <QCoro/QCoroFuture>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <exception>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace GigaChatCurlTransport {

namespace {

constexpr qint64 maximumResponseSize = 64 * 1024 * 1024;

const QString caFileName = u"russian-ca.pem"_s;
const QString configFileName = u"curl.conf"_s;
const QString responseFileName = u"response.bin"_s;

QString systemErrorText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// Blocking curl runs would starve the shared pool that the rest of the program
// uses for short jobs, so they get their own. Never deleted: a process that
// exits with an exchange in flight must not wait for it.
QThreadPool *transportPool()
{
    static QThreadPool *pool = [] {
        auto *created = new QThreadPool;
        created->setMaxThreadCount(16);
        return created;
    }();
    return pool;
}

QMutex runningMutex;
QSet<qint64> runningProcesses;
bool abandoning = false; // while set, a curl that starts is killed at once

std::optional<QString> strictUTF8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

std::optional<qint64> parseStatusCode(const QString &text)
{
    if (text.isEmpty())
        return std::nullopt;
    const qsizetype start = (text.front() == u'+' || text.front() == u'-') ? 1 : 0;
    if (start == text.size())
        return std::nullopt;
    for (qsizetype i = start; i < text.size(); ++i) {
        if (text.at(i) < u'0' || text.at(i) > u'9')
            return std::nullopt;
    }
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, 10);
    if (!ok)
        return std::nullopt;
    return value;
}

int truncatedSeconds(double seconds)
{
    if (std::isnan(seconds))
        return 0;
    if (seconds >= double(INT_MAX))
        return INT_MAX;
    if (seconds <= double(INT_MIN))
        return INT_MIN;
    return int(seconds);
}

void checkTarget(const QUrl &url, const GigaChatConfiguration &configuration)
{
    // QUrl keeps host names in lower case, as DNS compares them; the allowed
    // hosts are written that way, so the comparison itself is exact.
    if (!url.isValid() || url.isRelative() || url.scheme().toLower() != u"https"_s || url.host().isEmpty()
        || !configuration.allowedHosts().contains(url.host(), Qt::CaseSensitive))
        throw GigaChatError(GigaChatError::Case::invalidURL);
}

class DirectoryRemover
{
public:
    explicit DirectoryRemover(QString path)
        : m_path(std::move(path))
    {
    }
    ~DirectoryRemover() { QDir(m_path).removeRecursively(); }
    DirectoryRemover(const DirectoryRemover &) = delete;
    DirectoryRemover &operator=(const DirectoryRemover &) = delete;

private:
    QString m_path;
};

class RunningProcessEntry
{
public:
    explicit RunningProcessEntry(qint64 pid)
        : m_pid(pid)
    {
        QMutexLocker lock(&runningMutex);
        if (abandoning)
            ::kill(pid_t(m_pid), SIGKILL);
        runningProcesses.insert(m_pid);
    }
    ~RunningProcessEntry()
    {
        QMutexLocker lock(&runningMutex);
        runningProcesses.remove(m_pid);
    }
    RunningProcessEntry(const RunningProcessEntry &) = delete;
    RunningProcessEntry &operator=(const RunningProcessEntry &) = delete;

private:
    qint64 m_pid;
};

QString createWorkingDirectory()
{
    const QString name = u"Verbulo-Giga-"_s + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    // QDir::tempPath() is empty when TMPDIR names a missing directory; the directory
    // must then fail to be made there, not appear in the current directory.
    QString parent = QDir::tempPath();
    if (parent.isEmpty())
        parent = qEnvironmentVariable("TMPDIR");
    const QString path = QDir(parent).filePath(name);
    const QByteArray encoded = QFile::encodeName(path);
    if (::mkdir(encoded.constData(), 0700) != 0) {
        const int error = errno;
        throw DescribedError(u"Не удалось создать временную папку «%1»: %2"_s.arg(path, systemErrorText(error)));
    }
    // The umask may have taken bits away; the owner needs all three.
    ::chmod(encoded.constData(), 0700);
    return path;
}

// A child environment in which curl reads no user configuration file (a .curlrc
// could switch verification off) and writes no TLS key log.
QProcessEnvironment curlEnvironment(const QString &directory)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"CURL_HOME"_s, directory);
    environment.insert(u"XDG_CONFIG_HOME"_s, directory);
    environment.insert(u"HOME"_s, directory);
    environment.remove(u"SSLKEYLOGFILE"_s);
    return environment;
}

QByteArray readResponseFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw DescribedError(u"Не удалось прочитать ответ сервера: "_s + file.errorString());
    if (file.size() > maximumResponseSize)
        throw GigaChatError(GigaChatError::Case::invalidResponse);
    QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw DescribedError(u"Не удалось прочитать ответ сервера: "_s + file.errorString());
    return data;
}

struct Outcome
{
    std::optional<Response> response;
    std::exception_ptr error;
};

} // namespace

TransportError::TransportError(int exitCode, QString details)
    : DescribedError(details.isEmpty() ? u"Ошибка защищённого соединения"_s : details)
    , m_exitCode(exitCode)
    , m_details(std::move(details))
{
}

QByteArray certificatePEMData()
{
    const GigaChatConfiguration configuration = GigaChatConfiguration::current();
    QByteArray pem;
    for (const QByteArray &base64 : {configuration.rootCertificateBase64, configuration.subCertificateBase64}) {
        const auto decoded = QByteArray::fromBase64Encoding(base64, QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded || decoded.decoded.isEmpty())
            throw GigaChatError(GigaChatError::Case::certificateRequired);
        const QByteArray encoded = decoded.decoded.toBase64();
        pem += "-----BEGIN CERTIFICATE-----\n";
        for (qsizetype offset = 0; offset < encoded.size(); offset += 64) {
            if (offset > 0)
                pem += '\n';
            pem += encoded.mid(offset, 64);
        }
        pem += "\n-----END CERTIFICATE-----\n";
    }
    return pem;
}

void writeSecurely(const QByteArray &bytes, const QString &path)
{
    const auto refuse = [] {
        throw GigaChatError(GigaChatError::Case::network, u"Не удалось подготовить защищённое соединение."_s);
    };
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                          0600);
    if (fd < 0)
        refuse();
    bool ok = ::fchmod(fd, 0600) == 0;
    qsizetype written = 0;
    while (ok && written < bytes.size()) {
        const ssize_t result = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (result < 0 && errno == EINTR)
            continue;
        ok = result > 0;
        if (ok)
            written += result;
    }
    ok = (::close(fd) == 0) && ok;
    if (!ok)
        refuse();
}

QByteArray configurationText(QList<std::pair<QString, QString>> headers)
{
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(headers.begin(), headers.end(),
                     [&collator](const auto &a, const auto &b) { return collator.compare(a.first, b.first) < 0; });

    QStringList lines;
    for (const auto &[name, value] : headers) {
        QString text = name + u": "_s + value;
        text.replace(u"\\"_s, u"\\\\"_s);
        text.replace(u"\""_s, u"\\\""_s);
        text.remove(u'\r');
        text.remove(u'\n');
        lines.append(u"header = \""_s + text + u'"');
    }
    return (lines.join(u'\n') + u'\n').toUtf8();
}

QStringList arguments(const QString &method, const QUrl &url, const QString &directory, double timeout, bool hasBody)
{
    const QDir dir(directory);
    QStringList list{
        u"--silent"_s,
        u"--show-error"_s,
        u"--request"_s, method,
        u"--url"_s, url.toString(QUrl::FullyEncoded),
        u"--cacert"_s, dir.filePath(caFileName),
        // Debian's curl also trusts /etc/ssl/certs unless told otherwise; the working
        // directory holds no hashed certificate links, so only the CA file counts.
        u"--capath"_s, directory,
        u"--config"_s, dir.filePath(configFileName),
        u"--connect-timeout"_s, QString::number(truncatedSeconds(std::clamp(timeout, 3.0, 15.0))),
        u"--max-time"_s, QString::number(truncatedSeconds(std::max(timeout, 5.0))),
        u"--output"_s, dir.filePath(responseFileName),
        u"--write-out"_s, u"%{http_code}"_s,
    };
    if (hasBody)
        list << u"--data-binary"_s << u"@-"_s;
    return list;
}

Response sendSynchronously(const Request &request, const std::optional<QByteArray> &body, double timeout)
{
    const GigaChatConfiguration configuration = GigaChatConfiguration::current();
    checkTarget(request.url, configuration);

    const QString directory = createWorkingDirectory();
    const DirectoryRemover remover(directory);
    const QDir dir(directory);

    writeSecurely(certificatePEMData(), dir.filePath(caFileName));
    writeSecurely(configurationText(request.headers), dir.filePath(configFileName));
    writeSecurely(QByteArray(), dir.filePath(responseFileName));

    QProcess curl;
    curl.setProgram(configuration.curlPath);
    curl.setArguments(arguments(request.method.value_or(u"GET"_s), request.url, directory, timeout, body.has_value()));
    curl.setProcessEnvironment(curlEnvironment(directory));
    if (!body)
        curl.setStandardInputFile(QProcess::nullDevice());
    curl.start(QIODevice::ReadWrite);
    if (!curl.waitForStarted(-1))
        throw DescribedError(u"Не удалось запустить curl: "_s + curl.errorString());
    const RunningProcessEntry entry(curl.processId());

    if (body) {
        if (curl.write(*body) != body->size())
            throw DescribedError(u"Не удалось передать данные curl: "_s + curl.errorString());
        curl.closeWriteChannel();
    }

    // curl stops itself at --max-time; the margin only guards against a curl that hangs.
    const qint64 limitMs = qint64(std::max(truncatedSeconds(std::max(timeout, 5.0)), 0)) * 1000 + 30'000;
    if (!curl.waitForFinished(int(std::min<qint64>(limitMs, INT_MAX)))) {
        curl.kill();
        curl.waitForFinished(-1);
        throw TransportError(28, u"curl не завершился за отведённое время"_s);
    }
    const QByteArray standardOutput = curl.readAllStandardOutput();
    const QByteArray standardError = curl.readAllStandardError();

    if (curl.exitStatus() != QProcess::NormalExit)
        throw DescribedError(u"curl завершился аварийно"_s);

    if (curl.exitCode() != 0)
        throw TransportError(curl.exitCode(), strictUTF8(standardError).value_or(QString()).trimmed());

    if (body && curl.error() == QProcess::WriteError)
        throw DescribedError(u"Не удалось передать данные curl: "_s + curl.errorString());

    const auto statusText = strictUTF8(standardOutput);
    const auto statusCode = statusText ? parseStatusCode(statusText->trimmed()) : std::nullopt;
    if (!statusCode)
        throw GigaChatError(GigaChatError::Case::invalidResponse);

    return Response{readResponseFile(dir.filePath(responseFileName)), *statusCode};
}

QCoro::Task<Response> send(Request request, std::optional<QByteArray> body, double timeout)
{
    QFuture<Outcome> future = QtConcurrent::run(transportPool(), [request = std::move(request),
                                                                   body = std::move(body), timeout] {
        Outcome outcome;
        try {
            outcome.response = sendSynchronously(request, body, timeout);
        } catch (...) {
            outcome.error = std::current_exception();
        }
        return outcome;
    });
    Outcome outcome = co_await future;
    if (outcome.error)
        std::rethrow_exception(outcome.error);
    co_return std::move(*outcome.response);
}

void abandonPendingExchanges()
{
    {
        QMutexLocker lock(&runningMutex);
        abandoning = true;
        for (const qint64 pid : std::as_const(runningProcesses))
            ::kill(pid_t(pid), SIGKILL);
    }
    transportPool()->waitForDone(5000);
    QMutexLocker lock(&runningMutex);
    abandoning = false;
}

} // namespace GigaChatCurlTransport
