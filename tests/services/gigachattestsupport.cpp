#include "gigachattestsupport.h"

#include "loopbackhttpserver.h"

#include <QProcess>

using namespace Qt::StringLiterals;

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

void FakeCurl::write(const QString &step, const CurlAnswer &answer)
{
    const QDir directory(m_directory.filePath(step));
    directory.mkpath(u"."_s);
    const std::pair<QString, QByteArray> files[] = { { u"exit"_s, QByteArray::number(answer.exit) },
        { u"stdout"_s, answer.output }, { u"stderr"_s, answer.standardError }, { u"body"_s, answer.body },
        { u"sleep"_s, QByteArray::number(answer.seconds) } };
    for (const auto &[name, bytes] : files) {
        QFile file(directory.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write the fake curl's %s", qPrintable(name));
    }
}

QByteArray FakeCurl::record(int n, const QString &name) const
{
    return readAll(m_directory.filePath(n ? u"calls/%1/%2"_s.arg(n).arg(name) : name));
}

QStringList FakeCurl::arguments(int n) const
{
    return QString::fromUtf8(record(n, u"args"_s)).split(u'\n', Qt::SkipEmptyParts);
}

const TestCertificates &TestCertificates::shared()
{
    static const TestCertificates certificates = [] {
        static QTemporaryDir directory;
        if (QProcess::execute(QStringLiteral(SERVICES_TEST_DIR "/makecertificates.sh"), { directory.path() }) != 0)
            qFatal("openssl could not make the test certificates");
        const auto pem = [](const QString &name) { return readAll(directory.filePath(name)); };
        TestCertificates result;
        result.rootBase64 = QSslCertificate(pem(u"root.pem"_s)).toDer().toBase64();
        result.subBase64 = QSslCertificate(pem(u"sub.pem"_s)).toDer().toBase64();
        result.server = QSslCertificate(pem(u"server.pem"_s));
        result.serverKey = QSslKey(pem(u"server.key"_s), QSsl::Ec);
        result.strangerServer = QSslCertificate(pem(u"strangerserver.pem"_s));
        result.strangerKey = QSslKey(pem(u"strangerserver.key"_s), QSsl::Ec);
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
    configuration.oauthHost = configuration.apiHost = u"127.0.0.1"_s;
    configuration.oauthURL = server.url(u"/api/v2/oauth"_s);
    configuration.apiBaseURL = server.baseUrl();
    configuration.rootCertificateBase64 = TestCertificates::shared().rootBase64;
    configuration.subCertificateBase64 = TestCertificates::shared().subBase64;
    return configuration;
}
