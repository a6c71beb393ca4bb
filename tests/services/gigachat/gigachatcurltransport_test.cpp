#include "gigachatcertificates.h"
#include "gigachatcurltransport.h"
#include "gigachaterror.h"
#include "gigachattestsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QTimer>

#include <gtest/gtest.h>

#include <cerrno>

#include <signal.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;
using namespace GigaChatCurlTransport;

namespace {

const QUrl filesURL(u"https://gigachat.devices.sberbank.ru/v1/files"_s);

Request request(QUrl url, std::optional<QString> method = {}, QList<std::pair<QString, QString>> headers = {})
{
    return Request { std::move(url), std::move(method), std::move(headers), {} };
}

// Reads a file the fake curl keeps, or writes it when given contents.
QByteArray fakeCurlFile(const QString &name, const std::optional<QByteArray> &contents = {})
{
    QFile file(qEnvironmentVariable("FAKE_CURL_DIR") + u'/' + name);
    EXPECT_TRUE(file.open(contents ? QIODevice::WriteOnly : QIODevice::ReadOnly));
    return contents ? QByteArray::number(file.write(*contents)) : file.readAll();
}

Response get(const QUrl &url = filesURL) { return awaitTask(send(request(url), std::nullopt, 120)); }

class CurlTransportTest : public GigaChatTest {
protected:
    CurlTransportTest() { qunsetenv("XDG_RUNTIME_DIR"); }
    ~CurlTransportTest() override { qputenv("XDG_RUNTIME_DIR", m_runtime); }

private:
    QByteArray m_runtime = qgetenv("XDG_RUNTIME_DIR");
};

TEST_F(CurlTransportTest, RunsCurlWithTheArgumentsFilesPermissionsAndStandardInputOfEachExchange)
{
    const QByteArray body("binary\0body\xff", 12);
    curl.answer(1, 0, "201", {}, R"({"id":"file-1"})");

    const Response response
        = awaitTask(send(request(filesURL, u"POST"_s, { { u"b"_s, u"2"_s }, { u"A"_s, u"1"_s } }), body, 120));

    EXPECT_EQ(response.statusCode, 201);
    EXPECT_EQ(response.data, R"({"id":"file-1"})");
    ASSERT_EQ(curl.callCount(), 1);
    const FakeCurlCall call = curl.call(1);
    const QString dir = call.workingDirectory;
    EXPECT_EQ(QFileInfo(dir).dir().path(), temporaryPath());
    EXPECT_TRUE(QRegularExpression(u"^Verbulo-Giga-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"_s)
                    .match(QFileInfo(dir).fileName())
                    .hasMatch())
        << dir.toStdString();
    const QStringList expected {
        u"--silent"_s,
        u"--show-error"_s,
        u"--request"_s,
        u"POST"_s,
        u"--url"_s,
        filesURL.toString(),
        u"--cacert"_s,
        dir + u"/russian-ca.pem"_s,
        u"--capath"_s,
        dir,
        u"--config"_s,
        dir + u"/curl.conf"_s,
        u"--connect-timeout"_s,
        u"15"_s,
        u"--max-time"_s,
        u"120"_s,
        u"--output"_s,
        dir + u"/response.bin"_s,
        u"--write-out"_s,
        u"%{http_code}"_s,
        u"--data-binary"_s,
        u"@-"_s,
    };
    EXPECT_EQ(call.arguments, expected);
    const QMap<QString, QString> permissions { { u"directory"_s, u"700"_s }, { u"russian-ca.pem"_s, u"600"_s },
        { u"curl.conf"_s, u"600"_s }, { u"response.bin"_s, u"600"_s } };
    EXPECT_EQ(call.permissions, permissions);
    EXPECT_EQ(call.configuration, "header = \"A: 1\"\nheader = \"b: 2\"\n");
    EXPECT_EQ(call.caFile, certificatePEMData());
    EXPECT_EQ(call.standardInput, body);

    // Without a body standard input is the null device; an empty body is still sent.
    curl.answer(0, 0, "200");
    get();
    awaitTask(send(request(filesURL), QByteArray(""), 120));
    const FakeCurlCall withoutBody = curl.call(2);
    EXPECT_EQ(withoutBody.argumentAfter(u"--request"_s), u"GET"_s);
    EXPECT_FALSE(withoutBody.arguments.contains(u"--data-binary"_s));
    EXPECT_EQ(withoutBody.standardInputSource, u"/dev/null"_s);
    EXPECT_EQ(withoutBody.configuration, "\n");
    const FakeCurlCall emptyBody = curl.call(3);
    EXPECT_EQ(emptyBody.arguments.mid(emptyBody.arguments.size() - 2), QStringList({ u"--data-binary"_s, u"@-"_s }));
    EXPECT_TRUE(emptyBody.standardInputSource.startsWith(u"pipe:"_s)) << emptyBody.standardInputSource.toStdString();
    EXPECT_EQ(emptyBody.standardInput, QByteArray(""));
}

TEST(CurlTransportArguments, TimeOutsAreClampedAndTruncated)
{
    const struct {
        double timeout;
        const char *connect;
        const char *maximum;
    } rows[] = {
        { 120, "15", "120" },
        { 180, "15", "180" },
        { 2.5, "3", "5" },
        { 7.9, "7", "7" },
        { 1, "3", "5" },
    };
    for (const auto &row : rows) {
        const QStringList list = arguments(u"GET"_s, filesURL, u"/tmp/x"_s, row.timeout, false);
        EXPECT_EQ(list.at(list.indexOf(u"--connect-timeout"_s) + 1), QLatin1StringView(row.connect)) << row.timeout;
        EXPECT_EQ(list.at(list.indexOf(u"--max-time"_s) + 1), QLatin1StringView(row.maximum)) << row.timeout;
    }
}

TEST(CurlTransportConfiguration, HeadersAreSortedCaseInsensitivelyStablyAndEscaped)
{
    using Headers = QList<std::pair<QString, QString>>;
    const struct {
        Headers headers;
        QByteArray text;
    } rows[] = {
        { {}, "\n" },
        { { { u"b"_s, u"2"_s }, { u"A"_s, u"1"_s }, { u"c"_s, u"3"_s } },
            "header = \"A: 1\"\nheader = \"b: 2\"\nheader = \"c: 3\"\n" },
        { { { u"accept"_s, u"1"_s }, { u"Accept"_s, u"2"_s } }, "header = \"accept: 1\"\nheader = \"Accept: 2\"\n" },
        { { { u"X"_s, u"say \"hi\" C:\\dir"_s } }, "header = \"X: say \\\"hi\\\" C:\\\\dir\"\n" },
        { { { u"X"_s, u"a\r\nb\nc\rd"_s } }, "header = \"X: abcd\"\n" },
        { { { u"X"_s, u"Ключ"_s } }, "header = \"X: \xd0\x9a\xd0\xbb\xd1\x8e\xd1\x87\"\n" },
    };
    for (const auto &row : rows)
        EXPECT_EQ(configurationText(row.headers), row.text);
}

// A clean exit gives the status from standard output (invalid when it is not a number); any
// other exit is a transport error that carries curl's trimmed, valid UTF-8 standard error.
TEST_F(CurlTransportTest, CurlsExitAndOutputsBecomeResponseOrError)
{
    const struct {
        int exit;
        QByteArray output;
        QByteArray standardError;
        std::optional<qint64> status;
        QString details;
    } rows[] = {
        { 0, " 200\n", {}, 200, {} },
        { 0, "404", {}, 404, {} },
        { 0, "+201", {}, 201, {} },
        { 0, "abc", {}, {}, {} },
        { 0, "", {}, {}, {} },
        { 0, "2 00", {}, {}, {} },
        { 0, "99999999999999999999", {}, {}, {} },
        { 0,
            "\xff"
            "200",
            {}, {}, {} },
        { 6, "000", "", {}, u""_s },
        { 7, "000", "  curl: (7) Failed to connect\n", {}, u"curl: (7) Failed to connect"_s },
        { 35, "000", "\xff\xfe broken", {}, u""_s },
    };
    int n = 0;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.output.toStdString() + " exit " + std::to_string(row.exit));
        curl.answer(++n, row.exit, row.output, row.standardError, "answer body");
        if (row.status) {
            const Response response = get();
            EXPECT_EQ(response.statusCode, *row.status);
            EXPECT_EQ(response.data, "answer body");
        } else if (row.exit == 0) {
            const auto error = errorOf<GigaChatError>([] { get(); });
            ASSERT_TRUE(error);
            EXPECT_EQ(error->errorCase(), GigaChatError::Case::invalidResponse);
        } else {
            const auto error = errorOf<TransportError>([] { get(); });
            ASSERT_TRUE(error);
            EXPECT_EQ(error->exitCode(), row.exit);
            EXPECT_EQ(error->details(), row.details);
            EXPECT_EQ(error->description(), row.details.isEmpty() ? u"Ошибка защищённого соединения"_s : row.details);
        }
    }
}

TEST_F(CurlTransportTest, OnlyHttpsToTheTwoHostsWithDecodableCertificatesRunsCurl)
{
    curl.answer(0, 0, "200");
    for (const QString &url : { u"http://gigachat.devices.sberbank.ru/v1/models"_s, u"https://example.com/v1/models"_s,
             u"https://devices.sberbank.ru/"_s, u"file:///etc/passwd"_s, u"gigachat.devices.sberbank.ru/v1/models"_s,
             u"https:///v1/models"_s }) {
        const auto error = errorOf<GigaChatError>([&url] { get(QUrl(url)); });
        ASSERT_TRUE(error) << url.toStdString();
        EXPECT_EQ(error->errorCase(), GigaChatError::Case::invalidURL) << url.toStdString();
    }
    GigaChatConfiguration configuration = configurationWithCurl(FakeCurl::path());
    configuration.subCertificateBase64 = "not*base64";
    GigaChatConfiguration::replaceForTesting(configuration);
    const auto error = errorOf<GigaChatError>([] { get(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->errorCase(), GigaChatError::Case::certificateRequired);
    EXPECT_EQ(curl.callCount(), 0);
    EXPECT_TRUE(QDir(temporaryPath()).isEmpty());

    GigaChatConfiguration::replaceForTesting(configurationWithCurl(FakeCurl::path()));
    get(QUrl(u"HTTPS://ngw.devices.sberbank.ru:9443/api/v2/oauth"_s));
    EXPECT_EQ(curl.callCount(), 1);
}

TEST(CurlTransportCertificates, EmbeddedCertificatesAreTheRussianTrustedRootAndSubCA)
{
    const QByteArray pem = certificatePEMData();
    for (const QByteArray &line : pem.split('\n'))
        EXPECT_LE(line.size(), 64);
    const QList<QSslCertificate> certificates = QSslCertificate::fromData(pem, QSsl::Pem);
    ASSERT_EQ(certificates.size(), 2);
    const QSslCertificate &root = certificates[0];
    const QSslCertificate &sub = certificates[1];
    EXPECT_EQ(root.toDer().toBase64(), GigaChatCertificates::rootBase64().toByteArray());
    EXPECT_EQ(sub.toDer().toBase64(), GigaChatCertificates::subBase64().toByteArray());
    EXPECT_EQ(sub.issuerInfo(QSslCertificate::CommonName), root.subjectInfo(QSslCertificate::CommonName));
    EXPECT_EQ(root.digest(QCryptographicHash::Sha256).toHex(':').toUpper(),
        "D2:6D:2D:02:31:B7:C3:9F:92:CC:73:85:12:BA:54:10:35:19:E4:40:5D:68:B5:BD:70:3E:97:88:CA:8E:CF:31");
    EXPECT_EQ(sub.digest(QCryptographicHash::Sha256).toHex(':').toUpper(),
        "BB:BD:E2:10:3E:79:0B:99:9E:C6:2B:D0:3C:F6:25:A5:A2:E7:C3:16:E1:0A:FE:6A:49:0E:ED:EA:D8:B3:FD:9B");
}

TEST_F(CurlTransportTest, WriteSecurelyReplacesWithOwnerOnlyPermissionsOrFailsAsNetwork)
{
    const QString path = temporaryPath() + u"/file"_s;
    QFile existing(path);
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.write("old and longer");
    existing.close();
    ::chmod(QFile::encodeName(path).constData(), 0644);

    writeSecurely("new", path);
    struct stat status { };
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    ASSERT_TRUE(existing.open(QIODevice::ReadOnly));
    EXPECT_EQ(existing.readAll(), "new");
    existing.remove();

    const auto error = errorOf<GigaChatError>([this] { writeSecurely("x", temporaryPath() + u"/missing/file"_s); });
    ASSERT_TRUE(error);
    EXPECT_EQ(
        error->description(), u"Не удалось подключиться к GigaChat: Не удалось подготовить защищённое соединение."_s);
}

TEST_F(CurlTransportTest, LaunchAndDirectoryFailuresPropagateAndLeaveNothingBehind)
{
    GigaChatConfiguration::replaceForTesting(configurationWithCurl(temporaryPath() + u"/no-such-curl"_s));
    try {
        awaitTask(send(request(filesURL), QByteArray("x"), 120));
        ADD_FAILURE() << "a missing curl was launched";
    } catch (const GigaChatError &error) {
        ADD_FAILURE() << "a launch failure is not a GigaChat error: " << error.what();
    } catch (const DescribedError &error) {
        EXPECT_TRUE(error.description().contains(u"curl"_s)) << error.what();
    }

    const QByteArray previous = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(temporaryPath() + u"/missing"_s));
    const auto directory = errorOf<DescribedError>([] { sendSynchronously(request(filesURL), std::nullopt, 120); });
    qputenv("TMPDIR", previous);
    ASSERT_TRUE(directory);
    EXPECT_TRUE(directory->description().contains(u"/missing/Verbulo-Giga-"_s)) << directory->what();
}

TEST_F(CurlTransportTest, AbandoningKillsARunningCurlAndRemovesItsDirectory)
{
    curl.answer(1, 0, "200", {}, {}, 60);
    bool finished = false;
    auto exchange = [](bool *finished) -> QCoro::Task<> {
        try {
            co_await send(request(filesURL), std::nullopt, 120);
        } catch (...) {
        }
        *finished = true;
    }(&finished);
    ASSERT_TRUE(TestUtil::runUntil([this] { return curl.callCount() == 1; }, std::chrono::seconds(30)));
    abandonPendingExchanges();
    EXPECT_TRUE(TestUtil::runUntil([&finished] { return finished; }, std::chrono::seconds(30)));
}

// Under the runtime directory when it is absolute, else the temporary one; a missing parent fails.
TEST_F(CurlTransportTest, TheWorkingDirectoryLivesInTheRuntimeDirectoryWhenThereIsOne)
{
    curl.answer(0, 0, "200");
    const QString runtime = temporaryPath() + u"/run"_s;
    ASSERT_TRUE(QDir().mkdir(runtime));
    const struct {
        QString variable;
        QString parent;
    } rows[] = { { runtime, runtime }, { {}, temporaryPath() }, { u"run"_s, temporaryPath() },
        { runtime + u"/missing"_s, {} } };
    int calls = 0;
    for (const auto &row : rows) {
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(row.variable));
        const auto error = errorOf<DescribedError>([] { get(); });
        EXPECT_EQ(error ? error->description().section(u'/', 0, -2)
                        : QFileInfo(curl.call(++calls).workingDirectory).dir().path(),
            row.parent.isEmpty() ? u"Не удалось создать временную папку «"_s + row.variable : row.parent);
    }
}

// The wait keeps the event loop running; a curl that hangs past its --max-time is killed
// at the limit and reaped, so its process id no longer exists.
TEST_F(CurlTransportTest, ACurlThatExitsAtOnceOrNeverIsAwaitedUntilItsTimeOut)
{
    const struct {
        const char *sleep;
        std::optional<qint64> status;
        qint64 minimumMs, maximumMs;
    } rows[] = { { "0", 200, 0, 2'000 }, { "-1", {}, 6'500, 10'000 } };
    for (int n = 1; n <= 2; ++n) {
        const auto &row = rows[n - 1];
        curl.answer(n, 0, "200");
        fakeCurlFile(u"steps/%1/sleep"_s.arg(n), row.sleep);
        int ticks = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
        ticker.start(100);
        QElapsedTimer elapsed;
        elapsed.start();
        const auto error = errorOf<TransportError>([&row] {
            EXPECT_EQ(std::optional(awaitTask(send(request(filesURL), QByteArray("x"), 1)).statusCode), row.status);
        });
        EXPECT_TRUE(
            elapsed.elapsed() >= row.minimumMs && elapsed.elapsed() <= row.maximumMs && ticks >= row.minimumMs / 200);
        EXPECT_EQ(error ? error->exitCode() : 0, row.status ? 0 : 28);
        EXPECT_EQ(error ? error->description() : QString(),
            row.status ? QString() : u"curl не завершился за отведённое время"_s);
        EXPECT_TRUE(::kill(pid_t(fakeCurlFile(u"calls/%1/pid"_s.arg(n)).trimmed().toInt()), 0) == -1 && errno == ESRCH);
    }
}

} // namespace
