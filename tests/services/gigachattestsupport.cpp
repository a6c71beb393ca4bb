#include "gigachattestsupport.h"

#include "loopbackhttpserver.h"

#include <QDir>
#include <QFile>
#include <QProcess>

using namespace Qt::StringLiterals;

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

} // namespace

QString FakeCurlCall::argumentAfter(const QString &option) const
{
    const qsizetype index = arguments.indexOf(option);
    return index >= 0 && index + 1 < arguments.size() ? arguments.at(index + 1) : QString();
}

void FakeCurl::answer(int n, int exitCode, const QByteArray &standardOutput, const QByteArray &standardError,
    const QByteArray &body, double seconds)
{
    const QString step = m_directory.filePath(n == 0 ? u"steps/default"_s : u"steps/%1"_s.arg(n));
    QDir().mkpath(step);
    writeFile(step + u"/exit"_s, QByteArray::number(exitCode));
    writeFile(step + u"/stdout"_s, standardOutput);
    writeFile(step + u"/stderr"_s, standardError);
    writeFile(step + u"/body"_s, body);
    if (seconds > 0)
        writeFile(step + u"/sleep"_s, QByteArray::number(seconds));
}

int FakeCurl::callCount() const { return readAll(m_directory.filePath(u"count"_s)).trimmed().toInt(); }

FakeCurlCall FakeCurl::call(int n) const
{
    const QString dir = m_directory.filePath(u"calls/%1/"_s.arg(n));
    FakeCurlCall call;
    const QByteArray arguments = readAll(dir + u"args"_s);
    for (const QByteArray &line : arguments.split('\n').mid(0, arguments.count('\n')))
        call.arguments.append(QString::fromUtf8(line));
    call.configuration = readAll(dir + u"conf"_s);
    call.caFile = readAll(dir + u"ca.pem"_s);
    if (QFile::exists(dir + u"stdin"_s))
        call.standardInput = readAll(dir + u"stdin"_s);
    call.standardInputSource = QString::fromUtf8(readAll(dir + u"stdin-source"_s).trimmed());
    for (const QByteArray &line : readAll(dir + u"perms"_s).split('\n')) {
        const QList<QByteArray> parts = line.split(' ');
        if (parts.size() == 2)
            call.permissions.insert(QString::fromUtf8(parts[0]), QString::fromUtf8(parts[1]));
    }
    call.workingDirectory = QString::fromUtf8(readAll(dir + u"workdir"_s).trimmed());
    call.startTime = readAll(dir + u"time"_s).trimmed().toDouble();
    return call;
}

namespace {

// A certificate and its key in `directory`: self-signed, or issued by `issuer`.
void makeCertificate(const QString &directory, const QString &name, const QString &subject, const QString &issuer,
    const QStringList &extensions)
{
    QStringList arguments { u"req"_s, u"-x509"_s, u"-new"_s, u"-newkey"_s, u"ec"_s, u"-pkeyopt"_s,
        u"ec_paramgen_curve:P-256"_s, u"-nodes"_s, u"-days"_s, u"3"_s, u"-subj"_s, subject, u"-keyout"_s,
        name + u".key"_s, u"-out"_s, name + u".pem"_s };
    if (!issuer.isEmpty())
        arguments << u"-CA"_s << issuer + u".pem"_s << u"-CAkey"_s << issuer + u".key"_s;
    for (const QString &extension : extensions)
        arguments << u"-addext"_s << extension;
    QProcess process;
    process.setWorkingDirectory(directory);
    process.start(u"openssl"_s, arguments);
    if (!process.waitForFinished(60'000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        qFatal("openssl %s failed: %s", qPrintable(arguments.join(u' ')), process.readAllStandardError().constData());
}

QSslCertificate certificate(const QString &path) { return QSslCertificate(readAll(path), QSsl::Pem); }

QSslKey key(const QString &path) { return QSslKey(readAll(path), QSsl::Ec, QSsl::Pem); }

} // namespace

const TestCertificates &TestCertificates::shared()
{
    static const TestCertificates certificates = [] {
        static QTemporaryDir directory;
        const QString dir = directory.path();
        const QStringList authority { u"basicConstraints=critical,CA:TRUE"_s,
            u"keyUsage=critical,keyCertSign,cRLSign"_s };
        const QStringList server { u"basicConstraints=CA:FALSE"_s, u"subjectAltName=IP:127.0.0.1"_s,
            u"extendedKeyUsage=serverAuth"_s };
        makeCertificate(dir, u"root"_s, u"/C=RU/O=Verbulo Tests/CN=Verbulo Test Root CA"_s, {}, authority);
        makeCertificate(dir, u"sub"_s, u"/C=RU/O=Verbulo Tests/CN=Verbulo Test Sub CA"_s, u"root"_s, authority);
        makeCertificate(dir, u"server"_s, u"/CN=127.0.0.1"_s, u"sub"_s, server);
        makeCertificate(dir, u"stranger"_s, u"/C=RU/O=Verbulo Tests/CN=Unrelated CA"_s, {}, authority);
        makeCertificate(dir, u"strangerserver"_s, u"/CN=127.0.0.1"_s, u"stranger"_s, server);

        TestCertificates result;
        result.rootBase64 = certificate(dir + u"/root.pem"_s).toDer().toBase64();
        result.subBase64 = certificate(dir + u"/sub.pem"_s).toDer().toBase64();
        result.server = certificate(dir + u"/server.pem"_s);
        result.serverKey = key(dir + u"/server.key"_s);
        result.strangerServer = certificate(dir + u"/strangerserver.pem"_s);
        result.strangerKey = key(dir + u"/strangerserver.key"_s);
        if (result.server.isNull() || result.serverKey.isNull() || result.strangerServer.isNull())
            qFatal("the test certificates could not be loaded");
        return result;
    }();
    return certificates;
}

GigaChatConfiguration configurationWithCurl(const QString &curlPath)
{
    GigaChatConfiguration configuration = GigaChatConfiguration::production();
    configuration.curlPath = curlPath;
    return configuration;
}

GigaChatConfiguration loopbackConfiguration(const LoopbackHttpServer &server)
{
    GigaChatConfiguration configuration = GigaChatConfiguration::production();
    configuration.oauthHost = u"127.0.0.1"_s;
    configuration.apiHost = u"127.0.0.1"_s;
    configuration.oauthURL = server.url(u"/api/v2/oauth"_s);
    configuration.apiBaseURL = server.baseUrl();
    configuration.rootCertificateBase64 = TestCertificates::shared().rootBase64;
    configuration.subCertificateBase64 = TestCertificates::shared().subBase64;
    return configuration;
}
