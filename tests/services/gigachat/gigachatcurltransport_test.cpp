#include "gigachatcurltransport.h"
#include "gigachaterror.h"
#include "gigachattestsupport.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTimer>

#include <cerrno>

#include <signal.h>

using namespace Qt::StringLiterals;
using namespace GigaChatCurlTransport;

namespace {

const QUrl filesURL(u"https://gigachat.devices.sberbank.ru/v1/files"_s);
const QString invalid = u"error:GigaChat вернул некорректный ответ."_s;

QString send(std::optional<QByteArray> body = {}, const QUrl &url = filesURL, double timeout = 120)
{
    const Request request { url, u"POST"_s, { { u"b"_s, u"2"_s }, { u"A"_s, u"1"_s } }, {} };
    return outcomeOf(GigaChatCurlTransport::send(request, std::move(body), timeout));
}

class CurlTransportTest : public GigaChatTest {
protected:
    CurlTransportTest() { qunsetenv("XDG_RUNTIME_DIR"); }
    ~CurlTransportTest() override { qputenv("XDG_RUNTIME_DIR", m_runtime); }
    QString workingDirectory(int n) const { return QString::fromUtf8(curl.record(n, u"workdir"_s).trimmed()); }

private:
    QByteArray m_runtime = qgetenv("XDG_RUNTIME_DIR");
};

TEST_F(CurlTransportTest, RunsCurlWithTheArgumentsFilesPermissionsAndStandardInputOfEachExchange)
{
    curl.setDefault({ .output = "201", .body = R"({"id":"file-1"})" });
    const QByteArray body("binary\0body\xff", 12);
    EXPECT_EQ(send(body), u"201 {\"id\":\"file-1\"}"_s);
    send(QByteArray(""));
    send();
    ASSERT_EQ(curl.callCount(), 3);

    const QString dir = workingDirectory(1);
    EXPECT_EQ(QFileInfo(dir).path(), temporaryPath());
    EXPECT_TRUE(
        QRegularExpression(u"/Verbulo-Giga-[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$"_s).match(dir).hasMatch());
    EXPECT_EQ(curl.arguments(1),
        u"--silent --show-error --request POST --url %1 --cacert %2/russian-ca.pem --capath %2 --config %2/curl.conf "
        u"--connect-timeout 15 --max-time 120 --output %2/response.bin --write-out %{http_code} --data-binary @-"_s
            .arg(filesURL.toString(), dir)
            .split(u' '));
    EXPECT_EQ(curl.record(1, u"perms"_s), "700 600 600 600 ");
    EXPECT_EQ(curl.record(1, u"conf"_s), "header = \"A: 1\"\nheader = \"b: 2\"\n");
    EXPECT_EQ(curl.record(1, u"ca.pem"_s), certificatePEMData());
    EXPECT_EQ(curl.record(1, u"stdin"_s), body);
    // An empty body is still sent; without one standard input is the null device.
    EXPECT_TRUE(curl.record(2, u"stdin-source"_s).startsWith("pipe:") && curl.arguments(2).contains(u"@-"_s));
    EXPECT_TRUE(curl.record(3, u"stdin-source"_s) == "/dev/null\n" && !curl.arguments(3).contains(u"@-"_s));
}

TEST(CurlTransportUnits, TimeOutsAreClampedAndHeadersSortedAndEscaped)
{
    const std::tuple<double, QString> timeouts[]
        = { { 120, u"15 120"_s }, { 180, u"15 180"_s }, { 2.5, u"3 5"_s }, { 7.9, u"7 7"_s }, { 1, u"3 5"_s } };
    for (const auto &[timeout, expected] : timeouts) {
        const QStringList list = arguments(u"GET"_s, filesURL, u"/tmp/x"_s, timeout, false);
        EXPECT_EQ(list.at(list.indexOf(u"--connect-timeout"_s) + 1) + u' ' + list.at(list.indexOf(u"--max-time"_s) + 1),
            expected);
    }
    const std::pair<QList<std::pair<QString, QString>>, QByteArray> headers[] = {
        { {}, "\n" },
        { { { u"b"_s, u"2"_s }, { u"accept"_s, u"1"_s }, { u"Accept"_s, u"2"_s } },
            "header = \"accept: 1\"\nheader = \"Accept: 2\"\nheader = \"b: 2\"\n" },
        { { { u"X"_s, u"say \"hi\" C:\\dir"_s } }, "header = \"X: say \\\"hi\\\" C:\\\\dir\"\n" },
        { { { u"X"_s, u"a\r\nb\nc\rd Ключ"_s } }, "header = \"X: abcd \xd0\x9a\xd0\xbb\xd1\x8e\xd1\x87\"\n" },
    };
    for (const auto &[list, text] : headers)
        EXPECT_EQ(configurationText(list), text);
}

// A clean exit gives the status from standard output (invalid when it is not a number); any
// other exit is a transport error that carries curl's trimmed, valid UTF-8 standard error.
TEST_F(CurlTransportTest, CurlsExitAndOutputsBecomeResponseOrError)
{
    const std::pair<CurlAnswer, QString> rows[] = {
        { { .output = " 200\n" }, u"200 answer"_s },
        { { .output = "+404" }, u"404 answer"_s },
        { { .output = "abc" }, invalid },
        { { .output = "" }, invalid },
        { { .output = "2 00" }, invalid },
        { { .output = "99999999999999999999" }, invalid },
        { { .output = "\377200" }, invalid }, // octal: 0xff, then "200"
        { { .output = "000", .exit = 6 }, u"error:Ошибка защищённого соединения"_s },
        { { .output = "000", .exit = 7, .standardError = "  curl: (7) Failed\n" }, u"error:curl: (7) Failed"_s },
        { { .output = "000", .exit = 35, .standardError = "\xff\xfe broken" },
            u"error:Ошибка защищённого соединения"_s },
    };
    for (auto [answer, expected] : rows) {
        answer.body = "answer";
        curl.enqueue(answer);
        EXPECT_EQ(send(), expected) << answer.output.toStdString();
    }
}

TEST_F(CurlTransportTest, OnlyHttpsToTheTwoHostsWithDecodableCertificatesRunsCurl)
{
    curl.setDefault({});
    for (const QString &url : { u"http://gigachat.devices.sberbank.ru/v1/models"_s, u"https://example.com/v1/models"_s,
             u"https://devices.sberbank.ru/"_s, u"file:///etc/passwd"_s, u"https:///v1/models"_s })
        EXPECT_EQ(send({}, QUrl(url)), u"error:Некорректный адрес GigaChat API."_s) << url.toStdString();
    GigaChatConfiguration configuration = configurationWithCurl(FakeCurl::path());
    configuration.subCertificateBase64 = "not*base64";
    GigaChatConfiguration::replaceForTesting(configuration);
    EXPECT_EQ(send(), u"error:GigaChat отклонил сертификат соединения. Встроенный сертификат не прошёл проверку."_s);
    EXPECT_EQ(curl.callCount(), 0);
    EXPECT_TRUE(QDir(temporaryPath()).isEmpty());

    GigaChatConfiguration::replaceForTesting(configurationWithCurl(FakeCurl::path()));
    EXPECT_EQ(send({}, QUrl(u"HTTPS://ngw.devices.sberbank.ru:9443/api/v2/oauth"_s)), u"200 "_s);
}

TEST_F(CurlTransportTest, WhereTheFilesGoAndEveryFailureToPrepareThem)
{
    try {
        writeSecurely("x", temporaryPath() + u"/missing/f"_s);
        ADD_FAILURE() << "a file was written into a missing folder";
    } catch (const GigaChatError &error) {
        EXPECT_EQ(error.description(),
            u"Не удалось подключиться к GigaChat: Не удалось подготовить защищённое соединение."_s);
    }
    // A missing curl is a launch failure, not a GigaChat answer.
    GigaChatConfiguration::replaceForTesting(configurationWithCurl(temporaryPath() + u"/no-such-curl"_s));
    EXPECT_TRUE(send("x").startsWith(u"error:Не удалось запустить curl: "_s));
    GigaChatConfiguration::replaceForTesting(configurationWithCurl(FakeCurl::path()));

    // The working directory lives under an absolute runtime directory, else the temporary one.
    curl.setDefault({});
    const QString runtime = temporaryPath() + u"/run"_s;
    ASSERT_TRUE(QDir().mkdir(runtime));
    const std::pair<QString, QString> rows[]
        = { { runtime, runtime }, { {}, temporaryPath() }, { u"run"_s, temporaryPath() },
              { runtime + u"/missing"_s, u"error:Не удалось создать временную папку «"_s + runtime + u"/missing"_s } };
    for (const auto &[variable, parent] : rows) {
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(variable));
        const QString result = send();
        EXPECT_EQ(
            result == u"200 "_s ? QFileInfo(workingDirectory(curl.callCount())).path() : result.section(u'/', 0, -2),
            parent);
    }
}

// The wait keeps the event loop running; a curl that hangs past its --max-time (5 s here) is
// killed at the limit, and an abandoned one at once; either is reaped, so its process id no
// longer exists, and its directory goes. The bounds leave room for a loaded machine: only
// waiting out the limit for a curl that exited or was abandoned, or not killing a hung one, fails.
TEST_F(CurlTransportTest, ACurlThatExitsAtOnceOrNeverIsAwaitedUntilItsTimeOutOrAbandoned)
{
    const std::tuple<double, bool, QString, qint64, qint64> rows[] = { { 0, false, u"200 "_s, 0, 5'000 },
        { -1, false, u"error:curl не завершился за отведённое время"_s, 6'500, 60'000 },
        { -1, true, u"error:curl завершился аварийно"_s, 0, 5'000 } };
    for (int n = 1; const auto &[seconds, abandon, expected, minimumMs, maximumMs] : rows) {
        curl.enqueue({ .seconds = seconds });
        int ticks = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, &ticker, [&, abandon] {
            if (++ticks && abandon && !curl.record(n, u"pid"_s).isEmpty()) {
                ticker.stop();
                abandonPendingExchanges();
            }
        });
        ticker.start(100);
        QElapsedTimer elapsed;
        elapsed.start();
        EXPECT_EQ(send("x", filesURL, 1), expected);
        EXPECT_TRUE(elapsed.elapsed() >= minimumMs && elapsed.elapsed() <= maximumMs) << elapsed.elapsed();
        EXPECT_GE(ticks, minimumMs / 500) << "the event loop stalled";
        EXPECT_TRUE(::kill(pid_t(curl.record(n++, u"pid"_s).trimmed().toInt()), 0) == -1 && errno == ESRCH);
    }
}

} // namespace
