#pragma once

#include "describederror.h"
#include "loopbackhttpserver.h"
#include "testutil.h"

#include <QFile>
#include <QJsonDocument>
#include <QMap>
#include <QRegularExpression>

#include <QCoro/QCoroTask>

#include <gtest/gtest.h>

inline QString outcomeText(const QString &text) { return text; }
inline QString outcomeText(const QStringList &list) { return list.join(u','); }

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

// Whether `actual` is `golden` with its placeholders filled, byte for byte: "{UUID}" and "{uuid}"
// stand for one generated upper- or lower-case UUID wherever they recur, "{NAME}" for literals[NAME].
inline bool matches(const QByteArray &actual, const QByteArray &golden, const Literals &literals)
{
    // Latin-1 maps each byte to one character, so binary bodies compare too.
    const QString text = QString::fromLatin1(golden);
    QString pattern = QStringLiteral("\\A");
    QStringList seen;
    qsizetype at = 0;
    static const QRegularExpression placeholder(QStringLiteral("\\{(\\w+)\\}"));
    for (const QRegularExpressionMatch &match : placeholder.globalMatch(text)) {
        pattern += QRegularExpression::escape(text.mid(at, match.capturedStart() - at));
        at = match.capturedEnd();
        const QString name = match.captured(1);
        const QString hex = name == QStringLiteral("UUID") ? QStringLiteral("[0-9A-F]") : QStringLiteral("[0-9a-f]");
        if (literals.contains(name))
            pattern += QRegularExpression::escape(QString::fromLatin1(literals[name]));
        else if (seen.contains(name))
            pattern += QStringLiteral("\\k<%1>").arg(name);
        else if (seen.append(name); name.toUpper() == QStringLiteral("UUID"))
            pattern += QStringLiteral("(?<%1>%2{8}-%2{4}-%2{4}-%2{4}-%2{12})").arg(name, hex);
        else
            ADD_FAILURE() << "no value for {" << name.toStdString() << "}";
    }
    pattern += QRegularExpression::escape(text.mid(at)) + QStringLiteral("\\z");
    return QRegularExpression(pattern).match(QString::fromLatin1(actual)).hasMatch();
}

inline void expectJson(const QByteArray &actual, QByteArray golden, const Literals &literals = {})
{
    for (auto it = literals.begin(); it != literals.end(); ++it)
        golden.replace('{' + it.key().toLatin1() + '}', it.value());
    const QJsonDocument expected = QJsonDocument::fromJson(golden);
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
    const QByteArray goldenBody = golden.mid(split + 2);
    QByteArray head = request.method + ' ' + request.target;
    for (const QByteArray &line : golden.left(split).split('\n').mid(1)) {
        const QByteArray header = line.left(line.indexOf(':'));
        head += '\n' + header + ": " + request.header(header).value_or("<absent>");
    }
    if (goldenBody.startsWith('{')) {
        EXPECT_TRUE(matches(head, golden.left(split), literals)) << head.toStdString();
        expectJson(request.body, goldenBody, literals);
        return;
    }
    const QByteArray actual = head + "\n\n" + request.body;
    EXPECT_TRUE(matches(actual, golden.left(split + 2) + QByteArray(goldenBody).replace("\n", "\r\n"), literals))
        << actual.toStdString();
}

} // namespace Golden
