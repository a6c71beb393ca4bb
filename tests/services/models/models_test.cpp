#include "core/appsettings.h"
#include "services/models/modelcatalog.h"
#include "services/models/modelcommands.h"
#include "services/models/modeldownloader.h"
#include "services/models/modelstore.h"
#include "servicetestsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLockFile>
#include <QRandomGenerator>
#include <QSettings>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QUrlQuery>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Response = LoopbackHttpServer::Response;

namespace {

constexpr qint64 gib = qint64(1) << 30;

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

// A model file as a server sends it; `length` < 0 leaves the length out (the body ends with the connection).
Response answer(int status, const QByteArray &body, qint64 length,
    const QByteArray &headers = "Content-Type: application/octet-stream\r\n")
{
    const QByteArray lengthHeader
        = length < 0 ? "Connection: close\r\n" : "Content-Length: " + QByteArray::number(length) + "\r\n";
    return Response::rawBytes(
        "HTTP/1.1 " + QByteArray::number(status) + " X\r\n" + headers + lengthHeader + "\r\n" + body);
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<absent>");
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// An answer that sends the download to `url`.
Response redirectTo(const QUrl &url)
{
    Response redirect = answer(302, {}, 0, "Location: " + url.toEncoded() + "\r\n");
    redirect.holdOpen = true; // the connection stays for the next request
    return redirect;
}

class ModelDownloadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const TestCertificates &certificates = TestCertificates::shared();
        ASSERT_TRUE(
            server.listen() && cdn.listen() && secureHub.listenTls(certificates.server, certificates.serverKey));
        QSslConfiguration trusting = QSslConfiguration::defaultConfiguration();
        for (const QByteArray &authority : { certificates.rootBase64, certificates.subBase64 })
            trusting.addCaCertificate(QSslCertificate(QByteArray::fromBase64(authority), QSsl::Der));
        QSslConfiguration::setDefaultConfiguration(trusting);
        modelsAt(server);
        QObject::connect(&downloader, &ModelDownloader::failed,
            [this](const QString &, const QString &message) { failure = message; });
        downloader.setIdleTimeout(300ms);
    }
    void TearDown() override { TestUtil::clearSettings(); }

    static void modelsAt(const LoopbackHttpServer &hub)
    {
        QSettings settings(QSettings::IniFormat, QSettings::UserScope, u"plumrest"_s, u"Vorsik"_s);
        settings.setValue(u"localModelsURL"_s, hub.baseUrl().toString() + u"/models/"_s);
        settings.setValue(u"localHubURL"_s, hub.baseUrl().toString());
    }
    // Runs one download to its end: "" when installed, else the message it failed with.
    QString fetch(const QString &name = u"tiny"_s) { return outcomeOf(downloader.download(name)).remove(u"error:"_s); }
    QString installed(const QString &name = u"tiny"_s) const { return store.pathOf(*store.entry(name)); }
    QString part(const QString &name = u"tiny"_s) const { return store.partialPathOf(*store.entry(name)); }
    static QUrl at(const LoopbackHttpServer &host, const QString &path) { return host.baseUrl().resolved(QUrl(path)); }
    struct Case;
    void check(const Case &row, const QString &name);

    const QByteArray body = "lmgg" + randomBytes(600 * 1024);
    const QByteArray gguf = "GGUF" + randomBytes(600 * 1024);
    const QByteArray catalog
        = u"[{\"name\": \"tiny\", \"size\": %1, \"sha1\": \"%2\", \"description\": \"test\"}, {\"name\": \"toy\", "
          "\"family\": \"gigaam\", \"size\": %1, \"hubPath\": \"o/toy-gguf/resolve/main/toy-Q8_0.gguf\"}]"_s
              .arg(body.size())
              .arg(QString::fromLatin1(QCryptographicHash::hash(body, QCryptographicHash::Sha1).toHex()))
              .toUtf8();
    QTemporaryDir directory;
    // The hub, its CDN on another host, and the hub over HTTPS.
    LoopbackHttpServer server, cdn, secureHub;
    ModelStore store { directory.path() + u"/models"_s, ModelCatalog::fromJson(catalog) };
    ModelDownloader downloader { store };
    QString failure;
};

struct ModelDownloadTest::Case {
    const char *what;
    QByteArray keptPart; // a part on disk before the start, if any
    std::function<std::vector<Response>(const QByteArray &body)> answers; // the hub's; may script the others
    const char *failure; // part of the message; "" when the model ends up installed
    std::function<QByteArray(const QByteArray &body)> partAfter; // what stays for resuming
    // Every request in order: the server, and "+range" when it asks for what follows the kept part.
    QStringList asked;
};

TEST_F(ModelDownloadTest, OutcomeOfOneDownload)
{
    const qsizetype half = body.size() / 2;
    const auto none = [](const QByteArray &) { return QByteArray("<absent>"); };
    const auto whole = [](const QByteArray &b) { return std::vector { answer(200, b, b.size()) }; };
    const auto refusedRange = [](const QByteArray &b) {
        return answer(416, {}, 0, "Content-Range: bytes */" + QByteArray::number(b.size()) + "\r\n");
    };
    const QStringList hub { u"hub"_s }, resumed { u"hub+range"_s };
    const std::vector<Case> cases {
        { "a whole download is verified and placed", {}, whole, "", none, hub },
        { "a complete part is placed without asking", body, {}, "", none, {} },
        { "a server ignoring the range starts over", QByteArray(body.size() + 99, 'g'), whole, "", none, resumed },
        { "a part longer than the file is cut where a refused range says the file ends", body + "tail",
            [&](const QByteArray &b) { return std::vector { refusedRange(b) }; }, "", none, resumed },
        { "a damaged part is checked on a refused range, then fetched again", 'x' + body.mid(1) + "tail",
            [&](const QByteArray &b) {
                return std::vector { refusedRange(b), answer(200, b, b.size()) };
            },
            "", none, { u"hub+range"_s, u"hub"_s } },
        { "a range answered from elsewhere starts over", "garbage",
            [](const QByteArray &b) {
                return std::vector { answer(206, b.mid(3), b.size() - 3, "Content-Range: bytes 3-9/*\r\n"),
                    answer(200, b, b.size()) };
            },
            "", none, { u"hub+range"_s, u"hub"_s } },
        { "a broken connection keeps what came", {},
            [&](const QByteArray &b) { return std::vector { answer(200, b.left(half), b.size()) }; }, "оборвалось",
            [&](const QByteArray &b) { return b.left(half); }, hub },
        { "the hub's redirect to its CDN resumes there", body.left(half),
            [&](const QByteArray &b) {
                cdn.enqueue(answer(206, b.mid(half), b.size() - half,
                    u"Content-Range: bytes %1-%2/%3\r\n"_s.arg(half).arg(b.size() - 1).arg(b.size()).toLatin1()));
                return std::vector { redirectTo(at(cdn, u"/lfs/ggml-tiny.bin?sig=1"_s)) };
            },
            "", none, { u"hub+range"_s, u"cdn+range"_s } },
        { "a redirect from HTTPS to HTTP is refused", {},
            [&](const QByteArray &) {
                modelsAt(secureHub);
                secureHub.enqueue(redirectTo(at(server, u"/models/ggml-tiny.bin"_s)));
                return std::vector<Response> {};
            },
            "на незащищённый", none, { u"secure"_s } },
        { "a redirect loop ends", {},
            [&](const QByteArray &) {
                // Each hop a new address, so a request Qt sends again on a fresh connection shows as a repeat.
                server.setHandler([&](const LoopbackHttpServer::Request &request) {
                    const int hop
                        = QUrlQuery(QUrl(QString::fromLatin1(request.target))).queryItemValue(u"hop"_s).toInt();
                    return redirectTo(at(server, u"/models/ggml-tiny.bin?hop=%1"_s.arg(hop + 1)));
                });
                return std::vector<Response> {};
            },
            "по кругу", none, QStringList(11, u"hub"_s) }, // the first request and ten redirects
        { "a wrong checksum deletes the file", {},
            [](const QByteArray &b) { return std::vector { answer(200, "lmgg" + b.mid(5) + 'x', b.size()) }; },
            "контрольная сумма не совпала", none, hub },
        { "a missing model keeps the part", "lmgg",
            [](const QByteArray &) { return std::vector { Response::json(404, "{}") }; }, "404",
            [](const QByteArray &) { return QByteArray("lmgg"); }, resumed },
        { "a web page instead of the model", {},
            [](const QByteArray &) {
                return std::vector { answer(200, "<html>login</html>", 18, "Content-Type: text/html\r\n") };
            },
            "веб-страница", none, hub },
        { "a web page sent as a binary", {},
            [](const QByteArray &) { return std::vector { answer(200, "<!DOCTYPE html>", -1) }; }, "веб-страница", none,
            hub },
        { "a body longer than the model", {},
            [](const QByteArray &b) { return std::vector { answer(200, b + b.left(b.size() / 10), -1) }; },
            "больше данных", none, hub },
        { "a length longer than the model", {},
            [](const QByteArray &b) { return std::vector { answer(200, b, b.size() * 2) }; }, "не того размера", none,
            hub },
        { "a server that never answers", {},
            [](const QByteArray &) { return std::vector { Response::neverAnswering() }; }, "не отвечает", none, hub },
        { "a body that stalls keeps the part", {},
            [](const QByteArray &b) {
                Response stalled = answer(200, b.left(b.size() / 2), b.size());
                stalled.holdOpen = true;
                return std::vector { stalled };
            },
            "не отвечает", [](const QByteArray &b) { return b.left(b.size() / 2); }, hub },
    };
    for (const Case &row : cases)
        check(row, u"tiny"_s);
}

void ModelDownloadTest::check(const Case &row, const QString &name)
{
    SCOPED_TRACE(row.what);
    const QByteArray &model = name == u"tiny" ? body : gguf;
    store.remove(name);
    modelsAt(server);
    server.setHandler({});
    if (!row.keptPart.isEmpty()) {
        QDir().mkpath(store.directory());
        writeFile(part(name), row.keptPart);
    }
    // A download goes from the hub to the CDN, never back: these servers in this order give the requests in order.
    const std::pair<QString, LoopbackHttpServer *> servers[]
        = { { u"secure"_s, &secureHub }, { u"hub"_s, &server }, { u"cdn"_s, &cdn } };
    std::vector<int> before;
    for (const auto &[host, listener] : servers)
        before.push_back(listener->requestCount());
    for (Response &response : row.answers ? row.answers(model) : std::vector<Response> {})
        server.enqueue(std::move(response));

    const QString message = fetch(name);
    EXPECT_TRUE(*row.failure ? message.contains(QString::fromUtf8(row.failure)) : message.isEmpty())
        << message.toStdString();
    EXPECT_EQ(readAll(installed(name)), *row.failure ? QByteArray("<absent>") : model);
    EXPECT_EQ(readAll(part(name)), row.partAfter(model));
    EXPECT_FALSE(QFile::exists(part(name) + u".lock"_s));
    const QByteArray resumeRange = "bytes=" + QByteArray::number(row.keptPart.size()) + '-';
    QStringList asked, targets;
    for (std::size_t i = 0; i < std::size(servers); ++i) {
        QByteArray previous;
        for (const auto &request : servers[i].second->requests().mid(before[i])) {
            const std::optional<QByteArray> range = request.header("Range");
            EXPECT_EQ(range.value_or(resumeRange), resumeRange);
            // Qt sends a request again by itself when a kept-alive connection closes under it: one request.
            const QByteArray key = request.target + ' ' + range.value_or("");
            targets.append(QString::fromLatin1(key));
            if (std::exchange(previous, key) == key)
                continue;
            asked.append(servers[i].first + (range ? u"+range"_s : QString()));
        }
    }
    EXPECT_EQ(asked, row.asked) << targets.join(u", "_s).toStdString();
}

// A GGUF is checked against the SHA-256 the hub names on its redirect, kept beside the part.
TEST_F(ModelDownloadTest, GgufAgainstTheHubsDigest)
{
    const qsizetype half = gguf.size() / 2;
    const auto none = [](const QByteArray &) { return QByteArray("<absent>"); };
    const auto digestOf
        = [](const QByteArray &b) { return QCryptographicHash::hash(b, QCryptographicHash::Sha256).toHex(); };
    const QString sidecar = part(u"toy"_s) + u".sha256"_s;
    // The hub's redirect naming `digest` (W/-prefixed, in upper case, as a proxy may pass it), then the CDN's answer.
    const auto viaCdn = [&](const QByteArray &digest, Response fromCdn) {
        cdn.enqueue(std::move(fromCdn));
        Response redirect = redirectTo(at(cdn, u"/lfs/toy?sig=1"_s));
        redirect.raw->replace("\r\n\r\n", "\r\nX-Linked-Etag: W/\"" + digest.toUpper() + "\"\r\n\r\n");
        return std::vector { std::move(redirect) };
    };
    const auto rest = [&](const QByteArray &b) {
        return answer(206, b.mid(half), b.size() - half,
            u"Content-Range: bytes %1-%2/%3\r\n"_s.arg(half).arg(b.size() - 1).arg(b.size()).toLatin1());
    };
    const QByteArray old = "GGUF" + randomBytes(half);
    const std::vector<Case> cases {
        { "the digest on the redirect", {},
            [&](const QByteArray &b) { return viaCdn(digestOf(b), answer(200, b, b.size())); }, "", none,
            { u"hub"_s, u"cdn"_s } },
        { "another digest", {}, [&](const QByteArray &b) { return viaCdn(digestOf(old), answer(200, b, b.size())); },
            "контрольная сумма не совпала", none, { u"hub"_s, u"cdn"_s } },
        { "no digest", {}, [&](const QByteArray &b) { return std::vector { answer(200, b, b.size()) }; },
            "не сообщил контрольную сумму", none, { u"hub"_s } },
        { "a part without its digest starts over", gguf.left(half),
            [&](const QByteArray &b) { return viaCdn(digestOf(b), answer(200, b, b.size())); }, "", none,
            { u"hub"_s, u"cdn"_s } },
        { "a part resumes against its kept digest", gguf.left(half),
            [&](const QByteArray &b) {
                writeFile(sidecar, digestOf(b));
                return viaCdn(digestOf(b), rest(b));
            },
            "", none, { u"hub+range"_s, u"cdn+range"_s } },
        { "a part of a file the hub has since replaced starts over", old.left(half),
            [&](const QByteArray &b) {
                writeFile(sidecar, digestOf(old));
                auto answers = viaCdn(digestOf(b), rest(b));
                answers.push_back(std::move(viaCdn(digestOf(b), answer(200, b, b.size())).front()));
                return answers;
            },
            "", none, { u"hub+range"_s, u"hub"_s, u"cdn+range"_s, u"cdn"_s } },
    };
    for (const Case &row : cases) {
        check(row, u"toy"_s);
        EXPECT_FALSE(QFile::exists(sidecar));
    }
}

TEST_F(ModelDownloadTest, CancelKeepsThePart)
{
    Response stalled = answer(200, body.left(body.size() / 2), body.size());
    stalled.holdOpen = true;
    server.enqueue(stalled);
    downloader.setIdleTimeout(30s);
    int cancelled = 0;
    QObject::connect(&downloader, &ModelDownloader::cancelled, [&] { ++cancelled; });
    downloader.start(u"tiny"_s);
    ASSERT_TRUE(TestUtil::runUntil([&] {
        return downloader.progress(u"tiny").value_or(ModelDownloader::Progress {}).received == body.size() / 2;
    }));

    downloader.cancel(u"tiny"_s);
    EXPECT_EQ(cancelled, 1);
    EXPECT_FALSE(downloader.isDownloading(u"tiny"));
    EXPECT_EQ(readAll(part()), body.left(body.size() / 2));
    EXPECT_FALSE(QFile::exists(part() + u".lock"_s));
    EXPECT_EQ(failure, QString());

    // Quitting mid-download: a quarter is resumed, the server starts over (it ignores the range)
    // and sends half before it stalls; that half stays.
    QFile(part()).resize(body.size() / 4);
    {
        ModelDownloader quitting(store);
        server.enqueue(stalled);
        quitting.start(u"tiny"_s);
        ASSERT_TRUE(TestUtil::runUntil([&] {
            return quitting.progress(u"tiny").value_or(ModelDownloader::Progress {}).received == body.size() / 2;
        }));
    }
    EXPECT_EQ(readAll(part()), body.left(body.size() / 2));
    EXPECT_FALSE(QFile::exists(part() + u".lock"_s));
}

TEST_F(ModelDownloadTest, SecondStartJoinsAndAnotherProcessIsTurnedAway)
{
    Response slow = answer(200, body, body.size());
    slow.delay = 200ms;
    server.enqueue(slow);
    int finished = 0;
    std::optional<ModelDownloader::Progress> last;
    QObject::connect(&downloader, &ModelDownloader::finished, [&] { ++finished; });
    QObject::connect(&downloader, &ModelDownloader::progressChanged,
        [&](const ModelDownloader::Progress &progress) { last = progress; });
    downloader.start(u"tiny"_s);
    downloader.start(u"tiny"_s);
    EXPECT_EQ(fetch(), QString());
    EXPECT_EQ(server.requestCount(), 1);
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(failure, QString());
    ASSERT_TRUE(last);
    EXPECT_EQ(last->percent(), 100);
    EXPECT_EQ(last->received, body.size());

    store.remove(u"tiny");
    QLockFile other(part() + u".lock"_s);
    ASSERT_TRUE(other.tryLock());
    EXPECT_EQ(fetch(), u"Эта модель уже загружается другим процессом Ворсика."_s);
    EXPECT_EQ(server.requestCount(), 1);
}

TEST(ModelStoreTest, ResolvesTheSetting)
{
    QTemporaryDir directory;
    ModelStore store(directory.path(), ModelCatalog::builtIn());
    writeFile(directory.path() + u"/own.bin"_s, "lmgg");
    struct Case {
        QStringList installed;
        QString setting, name, problem;
        QString better {}; // offered to a Russian speaker on a four-core machine, or to `language`'s
        const char *language = "ru";
    };
    const QString gigaam = u"gigaam-v3-e2e-rnnt-q4_k_m"_s;
    const std::vector<Case> cases {
        { {}, {}, {}, u"Не установлена ни одна модель"_s },
        { { u"small"_s }, {}, u"small"_s, {}, gigaam },
        { { u"tiny"_s, u"large-v3-turbo"_s }, {}, u"tiny"_s, {}, gigaam }, // never more than any recommendation allows
        { { u"large-v3-turbo"_s }, {}, u"large-v3-turbo"_s, {}, gigaam }, // but an installed model beats none
        { { u"small"_s, u"gigaam-v3-e2e-ctc-q8_0"_s }, {}, u"gigaam-v3-e2e-ctc-q8_0"_s, {} }, // made for Russian
        { { u"small"_s }, u"small"_s, u"small"_s, {}, gigaam },
        { { u"small"_s }, u"small"_s, u"small"_s, {}, u"parakeet-tdt-0.6b-v3-q4_k_m"_s, "uk" },
        { { u"small"_s }, u"small"_s, u"small"_s, {}, {}, "ja" },
        { { u"small"_s, gigaam }, u"small"_s, u"small"_s, {} }, // the better one is here already
        { { u"base"_s }, u"small"_s, u"small"_s, u"Модель «small» не установлена. Скачайте её"_s },
        { {}, directory.path() + u"/own.bin"_s, u"own.bin"_s, {} },
        { {}, directory.path() + u"/gone.bin"_s, u"gone.bin"_s, u"не найден"_s },
        { {}, u"huge"_s, u"huge"_s, u"нет в списке"_s },
    };
    for (const Case &row : cases) {
        SCOPED_TRACE(row.setting.toStdString() + " with " + row.installed.join(u',').toStdString());
        for (const ModelCatalogEntry &entry : store.catalog()) {
            if (row.installed.contains(entry.name))
                writeFile(store.pathOf(entry), "lmgg");
            else
                QFile::remove(store.pathOf(entry));
        }
        const ModelStore::Resolved resolved = store.resolve(row.setting);
        EXPECT_EQ(resolved.name, row.name);
        EXPECT_TRUE(row.problem.isEmpty() ? resolved.problem.isEmpty() : resolved.problem.contains(row.problem))
            << resolved.problem.toStdString();
        EXPECT_EQ(QFile::exists(resolved.path), resolved.ok());
        const auto better = store.betterModel(row.setting, QString::fromLatin1(row.language), { 4, true, 8 * gib });
        EXPECT_EQ(better ? better->name : QString(), row.better);
    }
}

// A GGUF file as a converter writes one: one metadata value, one F32 tensor of four elements.
QByteArray toyGguf(quint32 version)
{
    QByteArray out = "GGUF";
    const auto number = [&](auto value) { out.append(reinterpret_cast<const char *>(&value), sizeof value); };
    const auto text = [&](const QByteArray &value) {
        number(quint64(value.size()));
        out += value;
    };
    number(version);
    number(quint64(1)); // tensors
    number(quint64(1)); // metadata values
    text("general.architecture");
    number(quint32(8));
    text("gigaam");
    text("w");
    number(quint32(1)); // dimensions
    number(quint64(4));
    number(quint32(0)); // F32
    number(quint64(0)); // offset
    out.append((32 - out.size() % 32) % 32, '\0');
    return out + QByteArray(16, 'w');
}

TEST_F(ModelDownloadTest, InstallsAFileOfTheCatalogOrAnExpertsGguf)
{
    const QByteArray digest = QCryptographicHash::hash(gguf, QCryptographicHash::Sha256).toHex();
    const auto hubSays = [&](const QByteArray &named) {
        return [this, named] { server.enqueue(answer(200, {}, 0, "X-Linked-Etag: \"" + named + "\"\r\n")); };
    };
    struct Case {
        const char *what;
        QByteArray content;
        QString file;
        bool expert;
        std::function<void()> hub;
        QString outcome, installed; // part of the message; the file in the store afterwards
    };
    const std::vector<Case> cases {
        { "a whisper file by its SHA-1", body, u"ggml-tiny.bin"_s, false, {}, u"«tiny» установлена"_s,
            u"ggml-tiny.bin"_s },
        { "a GGUF by the hub's digest", gguf, u"x.gguf"_s, false, hubSays(digest), u"«toy» установлена"_s,
            u"toy-Q8_0.gguf"_s },
        { "a GGUF the hub has another digest for", gguf, u"x.gguf"_s, false, hubSays(QByteArray(64, 'a')),
            u"не совпадает ни с одной моделью"_s, {} },
        { "a GGUF the hub names no digest for", gguf, u"x.gguf"_s, false, hubSays("abc"),
            u"не сообщил контрольную сумму"_s, {} },
        { "a GGUF with no network", gguf, u"x.gguf"_s, false,
            [] { AppSettings::setString(AppSettings::Keys::localHubURL, u"http://127.0.0.1:1"_s); },
            u"Не удалось связаться"_s, {} },
        { "a GGUF of no catalog size", gguf.left(1000), u"x.gguf"_s, false, {}, u"Размер файла"_s, {} },
        { "neither GGUF nor whisper", "text", u"x.gguf"_s, false, {}, u"не модель распознавания"_s, {} },
        { "an expert's GGUF", toyGguf(3), u"own.gguf"_s, true, {}, u"own.gguf"_s, u"own.gguf"_s },
        { "an expert's truncated GGUF", toyGguf(3).chopped(1), u"own.gguf"_s, true, {}, u"обрезан"_s, {} },
        { "an expert's GGUF of an old version", toyGguf(1), u"own.gguf"_s, true, {}, u"версии 1"_s, {} },
        { "an expert's GGUF under a catalog name", toyGguf(3), u"toy-Q8_0.gguf"_s, true, {}, u"назван как"_s, {} },
        { "an expert's whisper file", body, u"ggml-tiny.bin"_s, true, {}, u"только файл GGUF"_s, {} },
    };
    for (const Case &row : cases) {
        SCOPED_TRACE(row.what);
        QDir(store.directory()).removeRecursively();
        modelsAt(server);
        const QString file = directory.filePath(row.file);
        writeFile(file, row.content);
        if (row.hub)
            row.hub();
        const QString outcome = outcomeOf(ModelCommands::installFile(downloader, file, row.expert));
        EXPECT_TRUE(outcome.contains(row.outcome)) << outcome.toStdString();
        EXPECT_EQ(QDir(store.directory()).entryList(QDir::Files),
            row.installed.isEmpty() ? QStringList() : QStringList { row.installed });
        EXPECT_EQ(readAll(store.directory() + u'/' + row.installed),
            row.installed.isEmpty() ? QByteArray("<absent>") : row.content);
        QFile::remove(file);
    }
    // An expert's file is offered beside the catalog; deleting a model takes its part and digest along.
    writeFile(directory.filePath(u"own.gguf"_s), toyGguf(3));
    EXPECT_EQ(outcomeOf(ModelCommands::installFile(downloader, directory.filePath(u"own.gguf"_s), true)).left(6),
        u"Модель"_s);
    EXPECT_EQ(store.ownFiles(), QStringList { store.directory() + u"/own.gguf"_s });
    writeFile(part(u"toy"_s), "GGUF");
    writeFile(part(u"toy"_s) + u".sha256"_s, digest);
    EXPECT_TRUE(store.remove(u"toy"));
    EXPECT_FALSE(store.remove(u"toy"));
    EXPECT_EQ(QDir(store.directory()).entryList(QDir::Files), QStringList { u"own.gguf"_s });
}

TEST(ModelCatalogTest, RecommendsByLanguageAndMachine)
{
    const QList<ModelCatalogEntry> catalog = ModelCatalog::builtIn();
    struct Case {
        const char *language;
        ModelCatalog::MachineFacts facts;
        QString name, reasonMentions;
        bool limitedByMachine; // a stronger computer would get a better model
    };
    const std::vector<Case> cases {
        { "ru", { 16, true, 32 * gib }, u"gigaam-v3-e2e-rnnt-q4_k_m"_s, u"16 ядер, процессор с AVX2, 32 ГБ"_s, false },
        { "ru", { 4, true, 4 * gib }, u"gigaam-v3-e2e-rnnt-q4_k_m"_s, u"RNN-T"_s, false },
        { "ru", { 2, true, 8 * gib }, u"gigaam-v3-e2e-ctc-q4_k_m"_s, u"2 ядра"_s, true },
        { "ru", { 8, false, 16 * gib }, u"gigaam-v3-e2e-ctc-q4_k_m"_s, u"без AVX2"_s, true },
        { "uk", { 4, true, 8 * gib }, u"parakeet-tdt-0.6b-v3-q4_k_m"_s, u"25 европейских"_s, false },
        { "en", { 2, false, 4 * gib }, u"parakeet-tdt-0.6b-v3-q4_k_m"_s, u"2 ядра"_s, false },
        { "de", { 8, true, 2 * gib }, u"small"_s, u"2 ГБ"_s, true }, // too little memory for Parakeet
        { "auto", { 16, true, 32 * gib }, u"large-v3-turbo-q5_0"_s, u"трети её размера"_s, false },
        { "auto", { 4, true, 8 * gib }, u"small"_s, u"сама определяет язык"_s, true },
        { "ja", { 8, false, 16 * gib }, u"base"_s, u"без AVX2"_s, true },
        { "ja", { 1, false, gib / 2 }, u"base"_s, u"1 ядро"_s, true },
    };
    for (const Case &row : cases) {
        const ModelCatalog::Recommendation recommendation
            = ModelCatalog::recommend(catalog, row.facts, QString::fromLatin1(row.language));
        EXPECT_EQ(recommendation.name, row.name) << row.language;
        EXPECT_EQ(recommendation.limitedByMachine, row.limitedByMachine) << row.language << ' ' << row.facts.cores;
        EXPECT_TRUE(recommendation.reason.contains(row.reasonMentions)) << recommendation.reason.toStdString();
    }
    // Languages: GigaAM only Russian, Parakeet its 25, whisper every one and "auto".
    for (const auto &[name, languages] : { std::pair { "gigaam-v3-e2e-ctc-q8_0", "ru" },
             std::pair { "parakeet-tdt-0.6b-v3-q4_k_m",
                 "bg cs da de el en es et fi fr hr hu it lt lv mt nl pl pt ro ru sk sl sv uk" },
             std::pair { "tiny", "" } }) {
        const auto entry = ModelCatalog::find(catalog, QString::fromLatin1(name));
        ASSERT_TRUE(entry) << name;
        EXPECT_EQ(entry->languages.join(u' '), QString::fromLatin1(languages));
        EXPECT_EQ(entry->recognises(u"auto"), entry->languages.isEmpty());
    }
    const QByteArray sha1 = QByteArray(40, 'a');
    const auto parsed = ModelCatalog::fromJson("[{\"name\":\"ok\",\"size\":5,\"sha1\":\"" + sha1
        + "\"}, {\"name\":\"../up\",\"size\":5,\"sha1\":\"" + sha1 + "\"}, {\"name\":\"nosize\",\"sha1\":\"" + sha1
        + "\"}, {\"name\":\"short\",\"size\":5,\"sha1\":\"abc\"}, {\"name\":\"ok\",\"size\":6,\"sha1\":\"" + sha1
        + "\"}, {\"name\":\"g\",\"size\":5,\"family\":\"parakeet\",\"hubPath\":\"a/b/resolve/main/c.gguf\"}"
          ", {\"name\":\"up\",\"size\":5,\"hubPath\":\"a/../resolve/main/c.gguf\"}"
          ", {\"name\":\"nongguf\",\"size\":5,\"hubPath\":\"a/b/resolve/main/c.bin\"}"
          ", {\"name\":\"both\",\"size\":5,\"sha1\":\""
        + sha1
        + "\",\"hubPath\":\"a/b/resolve/main/c.gguf\"}"
          ", {\"name\":\"binfamily\",\"size\":5,\"family\":\"gigaam\",\"sha1\":\""
        + sha1
        + "\"}"
          ", {\"name\":\"family\",\"size\":5,\"family\":\"other\",\"hubPath\":\"a/b/resolve/main/c.gguf\"}]");
    ASSERT_EQ(parsed.size(), 2);
    EXPECT_EQ(parsed[0].size, 5);
    EXPECT_EQ(parsed[1].fileName(), u"c.gguf"_s);
    EXPECT_EQ(parsed[1].family, ModelFamily::parakeet);
}

TEST(ModelDownloaderProgressTest, Text)
{
    constexpr qint64 mib = qint64(1) << 20;
    const std::vector<std::pair<ModelDownloader::Progress, QString>> cases {
        { { {}, 210 * mib, 466 * mib, 5.2 * mib, 49s }, u"45 % · 210 из 466 МБ · 5,2 МБ/с · осталось 49 с"_s },
        { { {}, gib / 5, 3 * gib / 2, 0, std::nullopt }, u"13 % · 0,2 из 1,5 ГБ"_s },
        { { {}, mib, 75 * mib, 512 * 1024, 148s }, u"1 % · 1 из 75 МБ · 512 КБ/с · осталось 2 мин 28 с"_s },
        { { {}, 76 * mib, 75 * mib, 0, 0s }, u"100 % · 76 из 75 МБ · осталось 0 с"_s },
    };
    for (const auto &[progress, text] : cases)
        EXPECT_EQ(progress.text(), text);
}

} // namespace
