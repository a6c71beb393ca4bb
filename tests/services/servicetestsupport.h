#pragma once

#include "core/describederror.h"
#include "loopbackhttpserver.h"
#include "testutil.h"

#include <QFile>
#include <QJsonDocument>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslKey>
#include <QTemporaryDir>

#include <QCoro/QCoroTask>

#include <gtest/gtest.h>

#include <cmath>

// Tone bursts at 24 kHz s16, as the recording delivers them: `bursts` of 1.5 s in 200-ms syllables, 0.9-s pauses.
inline QByteArray speechLike(int bursts)
{
    QByteArray pcm;
    for (int burst = 0; burst < bursts; ++burst) {
        for (int i = 0; i < 36000; ++i) {
            const auto sample = qint16(8000 * std::abs(std::sin(float(i) * 3.14159f / 4800.0f))
                * std::sin(float(i) * 2.0f * 3.14159f * 220.0f / 24000.0f));
            pcm.append(reinterpret_cast<const char *>(&sample), 2);
        }
        pcm.append(QByteArray(21600 * 2, '\0'));
    }
    return pcm;
}

inline QString outcomeText(const QString &text) { return text; }
inline QString outcomeText(const QStringList &list) { return list.join(u','); }

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Made with openssl when first asked for: a root and a sub CA in the shape of GigaChat's embedded pair,
// a server certificate for 127.0.0.1 issued by the sub CA, and one from an unrelated CA.
struct TestCertificates {
    QByteArray rootBase64, subBase64;
    QSslCertificate server, strangerServer;
    QSslKey serverKey, strangerKey;

    static const TestCertificates &shared()
    {
        static QTemporaryDir directory;
        static const TestCertificates certificates = [] {
            if (QProcess::execute(QStringLiteral(SERVICES_TEST_DIR "/makecertificates.sh"), { directory.path() }))
                qFatal("openssl could not make the test certificates");
            const auto pem = [](const char *name) { return readFile(directory.filePath(QString::fromLatin1(name))); };
            return TestCertificates { QSslCertificate(pem("root.pem")).toDer().toBase64(),
                QSslCertificate(pem("sub.pem")).toDer().toBase64(), QSslCertificate(pem("server.pem")),
                QSslCertificate(pem("strangerserver.pem")), QSslKey(pem("server.key"), QSsl::Ec),
                QSslKey(pem("strangerserver.key"), QSsl::Ec) };
        }();
        return certificates;
    }
};

// Runs `task` to its end: its value as text, or "error:" and the description it threw.
template<typename T> QString outcomeOf(QCoro::Task<T> task)
{
    std::optional<QString> outcome;
    [](QCoro::Task<T> inner, std::optional<QString> &out) -> QCoro::Task<> {
        try {
            if constexpr (std::is_void_v<T>) {
                co_await std::move(inner);
                out = QString();
            } else {
                out = outcomeText(co_await std::move(inner));
            }
        } catch (const DescribedError &error) {
            out = QStringLiteral("error:") + error.description();
        }
    }(std::move(task), outcome);
    TestUtil::runUntil([&] { return outcome.has_value(); }, std::chrono::seconds(60));
    return outcome.value_or(QStringLiteral("unfinished"));
}

// Expected requests kept as files under tests/services/<provider>/golden/.
namespace Golden {

using Literals = QMap<QString, QByteArray>;

inline QByteArray read(const QString &name)
{
    QFile file(QStringLiteral(SERVICES_TEST_DIR "/") + name);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
    return file.readAll();
}

// `golden` with "{NAME}" replaced by literals[NAME], and "{UUID}" ("{uuid}") by the upper- (lower-)
// case UUID that `actual` holds where the first of them stands, so a generated one must recur alike.
inline QByteArray filled(QByteArray golden, const QByteArray &actual, const Literals &literals)
{
    for (auto it = literals.begin(); it != literals.end(); ++it)
        golden.replace('{' + it.key().toLatin1() + '}', it.value());
    for (const char *hex : { "0-9A-F", "0-9a-f" }) {
        const QByteArray placeholder = hex[3] == 'A' ? "{UUID}" : "{uuid}";
        const QRegularExpression uuid(
            QStringLiteral("\\A[%1]{8}(-[%1]{4}){3}-[%1]{12}\\z").arg(QLatin1StringView(hex)));
        const QByteArray found = actual.mid(golden.indexOf(placeholder), 36);
        if (uuid.match(QString::fromLatin1(found)).hasMatch())
            golden.replace(placeholder, found);
    }
    return golden;
}

inline void expectJson(const QByteArray &actual, QByteArray golden, const Literals &literals = {})
{
    const QJsonDocument expected = QJsonDocument::fromJson(filled(golden, {}, literals));
    EXPECT_FALSE(expected.isNull()) << golden.toStdString();
    EXPECT_EQ(QJsonDocument::fromJson(actual), expected) << actual.toStdString() << "\nexpected:\n"
                                                         << expected.toJson().toStdString();
}

// A golden request: "METHOD target", the headers the program sets (others, Qt's or curl's own, are
// not compared), a blank line and the body, JSON compared as JSON, anything else with CRLF line ends.
inline void expectRequest(
    const LoopbackHttpServer::Request &request, const QString &name, const Literals &literals = {})
{
    SCOPED_TRACE(name.toStdString());
    const QByteArray golden = read(name);
    const qsizetype split = golden.indexOf("\n\n");
    QByteArray body = golden.mid(split + 2);
    QByteArray actual = request.method + ' ' + request.target;
    for (const QByteArray &line : golden.left(split).split('\n').mid(1)) {
        const QByteArray header = line.left(line.indexOf(':'));
        actual += '\n' + header + ": " + request.header(header).value_or("<absent>");
    }
    const bool json = body.startsWith('{');
    if (json)
        expectJson(request.body, body, literals);
    else
        actual += "\n\n" + request.body;
    const QByteArray expected = golden.left(split) + (json ? QByteArray() : "\n\n" + body.replace("\n", "\r\n"));
    EXPECT_EQ(actual.toStdString(), filled(expected, actual, literals).toStdString());
}

} // namespace Golden
