#include "../app/privatebus.h"
#include "secrets/keychainstore.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QProcess>
#include <QUuid>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

QString probePath() { return QCoreApplication::applicationDirPath() + u"/keychain_probe"_s; }
std::optional<QString> readNow(const QString &account) { return QCoro::waitFor(KeychainStore().read(account)); }

// Runs the probe under `env` with these changes; returns its line, "found|none <milliseconds> <longest stall>".
QString probe(const QStringList &environment)
{
    QProcess process;
    process.start(u"env"_s, environment + QStringList { probePath(), u"openai-api-key"_s });
    return process.waitForFinished(15'000) ? QString::fromUtf8(process.readAllStandardOutput()).trimmed() : u"hung"_s;
}

// A "none" answer that came within `limit` milliseconds, the caller's event loop running all the
// while (a blocking read stalls it for the whole wait; a loaded machine for a little).
void expectQuickNone(const QString &line, qint64 limit)
{
    EXPECT_TRUE(line.startsWith(u"none "_s) && line.section(u' ', 1, 1).toLongLong() < limit) << line.toStdString();
    EXPECT_LT(line.section(u' ', 2, 2).toLongLong(), 500) << "the event loop stalled: " << line.toStdString();
}

// Items are stored the way a user would, with secret-tool, marked for removal after each test.
class KeychainStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("VERBULO_HEADLESS_SESSION"))
            GTEST_SKIP() << "needs the keyring of scripts/headless-session";
    }
    void TearDown() override { QProcess::execute(u"secret-tool"_s, { u"clear"_s, u"test"_s, u"1"_s }); }
    static QString storeWithSecretTool(const QString &printfFormat)
    {
        const QString account = u"test-"_s + QUuid::createUuid().toString(QUuid::WithoutBraces);
        auto store = u"printf '%1' | secret-tool store --label=t test 1 service com.plumrest.Vorsik account "_s;
        EXPECT_EQ(QProcess::execute(u"sh"_s, { u"-c"_s, store.arg(printfFormat) + account }), 0);
        return account;
    }
};

TEST_F(KeychainStoreTest, FindsItemsUntrimmedLogsNoSecretAndReadsMissingOrNonTextItemsAsNone)
{
    const QString account = storeWithSecretTool(u"  ключ-sk-123 \\n"_s);
    QLoggingCategory::setFilterRules(u"*.debug=true"_s);
    static QString logged;
    const QtMessageHandler previous
        = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &line) { logged += line; });
    EXPECT_EQ(readNow(account), u"  ключ-sk-123 \n"_s);
    qInstallMessageHandler(previous);
    QLoggingCategory::setFilterRules({});
    EXPECT_TRUE(logged.contains(u"found"_s) && !logged.contains(u"sk-123"_s)) << logged.toStdString();

    EXPECT_EQ(readNow(u"no-such-account-"_s + QUuid::createUuid().toString()), std::nullopt);
    EXPECT_EQ(readNow(storeWithSecretTool(u"\\377\\376\\200 not text"_s)), std::nullopt);
}

TEST_F(KeychainStoreTest, NoSessionBusOrAHungSecretServiceReadsAsNoneQuickly)
{
    // No display, so no X11 autolaunch of a new bus either; then a bus whose Secret Service never answers.
    expectQuickNone(
        probe({ u"-u"_s, u"DISPLAY"_s, u"DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/verbulo-bus"_s }), 2500);
    PrivateBus bus;
    const QString address = u"DBUS_SESSION_BUS_ADDRESS="_s + bus.address();
    QProcess silent;
    silent.start(u"env"_s, { address, probePath(), u"--silent-service"_s });
    ASSERT_TRUE(!bus.address().isEmpty() && silent.waitForReadyRead(10'000));
    expectQuickNone(probe({ address }), 4000);
    silent.kill();
    silent.waitForFinished();
}

} // namespace
