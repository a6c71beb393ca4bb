#include "services/gigachat/gigachatcurltransport.h"

#include "services/gigachat/gigachatconfiguration.h"
#include "services/gigachat/gigachaterror.h"

#include <QCollator>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QStringDecoder>
#include <QUuid>

#include <QCoro/QCoroProcess>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace GigaChatCurlTransport {

namespace {

constexpr qint64 maximumResponseSize = 64 * 1024 * 1024;
// A curl that has not even started by then is not waited for.
constexpr std::chrono::seconds startLimit { 10 };

const QString caFileName = u"russian-ca.pem"_s;
const QString configFileName = u"curl.conf"_s;
const QString responseFileName = u"response.bin"_s;

QString systemErrorText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// The curl runs in flight, all owned by coroutines on the main thread; kept so
// that a process about to exit can stop them and let their directories go.
QSet<QProcess *> runningProcesses;
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

class DirectoryRemover {
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

class RunningProcessEntry {
public:
    explicit RunningProcessEntry(QProcess *process)
        : m_process(process)
    {
        runningProcesses.insert(m_process);
        if (abandoning)
            m_process->kill();
    }
    ~RunningProcessEntry() { runningProcesses.remove(m_process); }
    RunningProcessEntry(const RunningProcessEntry &) = delete;
    RunningProcessEntry &operator=(const RunningProcessEntry &) = delete;

private:
    QProcess *m_process;
};

// A per-user tmpfs that nobody else can list is the better home for the CA and
// header files; the temporary directory serves when the session has none.
QString workingDirectoryParent()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime))
        return runtime;
    // QDir::tempPath() is empty when TMPDIR names a missing directory; the directory
    // must then fail to be made there, not appear in the current directory.
    const QString temporary = QDir::tempPath();
    return temporary.isEmpty() ? qEnvironmentVariable("TMPDIR") : temporary;
}

QString createWorkingDirectory()
{
    const QString name = u"Verbulo-Giga-"_s + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    const QString path = QDir(workingDirectoryParent()).filePath(name);
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

// Creates or replaces `path` with `bytes`, permissions 0600.
void writeSecurely(const QByteArray &bytes, const QString &path)
{
    const auto refuse
        = [] { throw GigaChatError(GigaChatError::Case::network, u"Не удалось подготовить защищённое соединение."_s); };
    const int fd
        = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
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

// The argument list after the executable.
QStringList arguments(const QString &method, const QUrl &url, const QString &directory, double timeout, bool hasBody)
{
    const QDir dir(directory);
    QStringList list {
        u"--silent"_s,
        u"--show-error"_s,
        u"--request"_s,
        method,
        u"--url"_s,
        url.toString(QUrl::FullyEncoded),
        u"--cacert"_s,
        dir.filePath(caFileName),
        // Debian's curl also trusts /etc/ssl/certs unless told otherwise; the working
        // directory holds no hashed certificate links, so only the CA file counts.
        u"--capath"_s,
        directory,
        u"--config"_s,
        dir.filePath(configFileName),
        u"--connect-timeout"_s,
        QString::number(truncatedSeconds(std::clamp(timeout, 3.0, 15.0))),
        u"--max-time"_s,
        QString::number(truncatedSeconds(std::max(timeout, 5.0))),
        u"--output"_s,
        dir.filePath(responseFileName),
        u"--write-out"_s,
        u"%{http_code}"_s,
    };
    if (hasBody)
        list << u"--data-binary"_s << u"@-"_s;
    return list;
}

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
    for (const QByteArray &base64 : { configuration.rootCertificateBase64, configuration.subCertificateBase64 }) {
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

QCoro::Task<Response> send(Request request, std::optional<QByteArray> body, double timeout)
{
    const GigaChatConfiguration configuration = GigaChatConfiguration::current();
    checkTarget(request.url, configuration);

    const QString directory = createWorkingDirectory();
    const DirectoryRemover remover(directory);
    const QDir dir(directory);

    writeSecurely(certificatePEMData(), dir.filePath(caFileName));
    writeSecurely(configurationText(request.headers), dir.filePath(configFileName));
    writeSecurely(QByteArray(), dir.filePath(responseFileName));

    // Declared after the remover: the process is gone before its directory is removed.
    QProcess curl;
    curl.setProgram(configuration.curlPath);
    curl.setArguments(arguments(request.method.value_or(u"GET"_s), request.url, directory, timeout, body.has_value()));
    curl.setProcessEnvironment(curlEnvironment(directory));
    if (!body)
        curl.setStandardInputFile(QProcess::nullDevice());
    // Even the start is awaited, not waited for: an exec that hangs (a stalled file system) must not
    // hold up the thread this runs on, which is the main thread.
    curl.start(QIODevice::ReadWrite);
    const RunningProcessEntry entry(&curl);
    const bool started = co_await qCoro(curl).waitForStarted(startLimit);
    if (!started) {
        if (curl.state() != QProcess::NotRunning) {
            curl.kill();
            co_await qCoro(curl).waitForFinished(std::chrono::seconds(5));
        }
        throw DescribedError(u"Не удалось запустить curl: "_s + curl.errorString());
    }

    if (body) {
        if (curl.write(*body) != body->size())
            throw DescribedError(u"Не удалось передать данные curl: "_s + curl.errorString());
        curl.closeWriteChannel();
    }

    // curl stops itself at --max-time; the margin only guards against a curl that hangs.
    const qint64 limitMs = qint64(std::max(truncatedSeconds(std::max(timeout, 5.0)), 0)) * 1000 + 2'000;
    // Awaited in a statement of its own (GCC 12: docs/architecture.md, "Coroutines and GCC 12").
    const bool finished = co_await qCoro(curl).waitForFinished(std::chrono::milliseconds(limitMs));
    if (!finished) {
        // Still ours and unreaped: QProcess signals only a child it has not collected.
        if (curl.state() != QProcess::NotRunning) {
            curl.kill();
            co_await qCoro(curl).waitForFinished(std::chrono::seconds(5));
        }
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

    co_return Response { readResponseFile(dir.filePath(responseFileName)), *statusCode };
}

void abandonPendingExchanges()
{
    abandoning = true;
    for (QProcess *process : std::as_const(runningProcesses)) {
        if (process->state() != QProcess::NotRunning)
            process->kill();
    }
    // The exchanges resume from this loop, see their process end and remove their directories.
    const QDeadlineTimer deadline(5000);
    QEventLoop loop;
    while (!runningProcesses.isEmpty() && !deadline.hasExpired())
        loop.processEvents(QEventLoop::WaitForMoreEvents, 50);
    abandoning = false;
}

} // namespace GigaChatCurlTransport
