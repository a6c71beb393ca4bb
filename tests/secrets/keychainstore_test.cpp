#include "../app/privatebus.h"
#include "keychainstore.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QProcess>
#include <QTemporaryDir>
#include <QUuid>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

QString probePath() { return QCoreApplication::applicationDirPath() + u"/keychain_probe"_s; }
std::optional<QString> readNow(const QString &account) { return QCoro::waitFor(KeychainStore().read(account)); }

// Runs the probe with `environment`; returns its output line, "found|none <milliseconds> <longest stall>".
QString probe(const QProcessEnvironment &environment)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(probePath(), { u"openai-api-key"_s });
    return process.waitForFinished(15'000) ? QString::fromUtf8(process.readAllStandardOutput()).trimmed() : u"hung"_s;
}

// A "none" answer that came within `limit` milliseconds, the caller's event loop running all the
// while (a blocking read stalls it for the whole wait; a loaded machine for a little).
void expectQuickNone(const QString &line, qint64 limit)
{
    EXPECT_TRUE(line.startsWith(u"none "_s)) << line.toStdString();
    EXPECT_LT(line.section(u' ', 1, 1).toLongLong(), limit) << line.toStdString();
    EXPECT_LT(line.section(u' ', 2, 2).toLongLong(), 500) << "the event loop stalled: " << line.toStdString();
}

class KeychainStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("VERBULO_HEADLESS_SESSION"))
            GTEST_SKIP() << "needs the keyring of scripts/headless-session";
    }
    void TearDown() override
    {
        for (const QString &account : std::as_const(m_accounts))
            QProcess::execute(
                u"secret-tool"_s, { u"clear"_s, u"service"_s, u"com.plumrest.Vorsik"_s, u"account"_s, account });
    }

    // Stores an item the way a user would, with secret-tool; returns its account.
    QString storeWithSecretTool(const QByteArray &secret)
    {
        m_accounts.append(u"test-"_s + QUuid::createUuid().toString(QUuid::WithoutBraces));
        QProcess tool;
        tool.start(u"secret-tool"_s,
            { u"store"_s, u"--label=t"_s, u"service"_s, u"com.plumrest.Vorsik"_s, u"account"_s, m_accounts.last() });
        tool.write(secret);
        tool.closeWriteChannel();
        EXPECT_TRUE(tool.waitForFinished(10'000) && tool.exitCode() == 0) << tool.readAllStandardError().toStdString();
        return m_accounts.last();
    }

    QStringList m_accounts;
};

TEST_F(KeychainStoreTest, FindsItemsUntrimmedLogsNoSecretAndReadsMissingOrNonTextItemsAsNone)
{
    const QString account = storeWithSecretTool(u"  ключ-sk-123 \n"_s.toUtf8());
    QLoggingCategory::setFilterRules(u"*.debug=true"_s);
    static QString logged;
    const QtMessageHandler previous
        = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &line) { logged += line; });
    EXPECT_EQ(readNow(account), u"  ключ-sk-123 \n"_s);
    qInstallMessageHandler(previous);
    QLoggingCategory::setFilterRules({});
    EXPECT_TRUE(logged.contains(u"found"_s) && !logged.contains(u"sk-123"_s)) << logged.toStdString();

    EXPECT_EQ(readNow(u"no-such-account-"_s + QUuid::createUuid().toString()), std::nullopt);
    EXPECT_EQ(readNow(storeWithSecretTool(QByteArray("\xff\xfe\x80 not text", 12))), std::nullopt);
}

TEST_F(KeychainStoreTest, NoSessionBusOrAHungSecretServiceReadsAsNoneQuickly)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path=/nonexistent/verbulo-bus"_s);
    environment.remove(u"DISPLAY"_s); // no X11 autolaunch of a new bus either
    expectQuickNone(probe(environment), 2500);

    // A private bus whose Secret Service owner never answers.
    PrivateBus bus;
    ASSERT_FALSE(bus.address().isEmpty());
    environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, bus.address());
    QProcess silent;
    silent.setProcessEnvironment(environment);
    silent.start(probePath(), { u"--silent-service"_s });
    ASSERT_TRUE(silent.waitForReadyRead(10'000));
    expectQuickNone(probe(environment), 4000);
    silent.kill();
    silent.waitForFinished();
}

// A keyring of its own in a bus of its own, so locking it disturbs nobody. With no display its
// prompter cannot show and the service reports the prompt dismissed, as when the user declines;
// given the display, the password is typed into it, later than the service's own time-out.
TEST_F(KeychainStoreTest, LockedKeyringIsUnlockedThroughItsPromptAndADeclinedOneReadsAsNone)
{
    const QString script = uR"sh(
        export HOME=$(mktemp -d) && export XDG_DATA_HOME=$HOME/data XDG_RUNTIME_DIR=$HOME/run
        mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
        eval "$(printf pw | gnome-keyring-daemon --unlock --daemonize --components=secrets 2>/dev/null)"
        printf secret | secret-tool store --label=t service com.plumrest.Vorsik account locked-item
        "$PROBE" locked-item
        dbus-send --session --dest=org.freedesktop.secrets --print-reply /org/freedesktop/secrets \
            org.freedesktop.Secret.Service.Lock array:objpath:/org/freedesktop/secrets/collection/login >/dev/null
        "$PROBE" locked-item
        export DISPLAY=$PROMPT_DISPLAY && dbus-update-activation-environment DISPLAY NO_AT_BRIDGE=1 >/dev/null
        "$PROBE" locked-item & probe=$!
        timeout 20 xdotool search --sync --onlyvisible --class gcr-prompter windowfocus --sync
        sleep 2.5 && xdotool type --delay 20 pw && xdotool key Return && wait $probe
        pkill -n -f 'gnome-keyring-daemon --unlock --daemonize --components=secrets'
        rm -rf "$HOME")sh"_s;
    QTemporaryDir runtimeDir;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"PROBE"_s, probePath());
    environment.insert(u"XDG_RUNTIME_DIR"_s, runtimeDir.path());
    environment.insert(u"PROMPT_DISPLAY"_s, environment.value(u"DISPLAY"_s));
    environment.remove(u"DISPLAY"_s);
    QProcess session;
    session.setProcessEnvironment(environment);
    session.start(u"dbus-run-session"_s, { u"--"_s, u"bash"_s, u"-c"_s, script });
    ASSERT_TRUE(session.waitForFinished(30'000));
    const QStringList lines = QString::fromUtf8(session.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3) << lines.join(u'|').toStdString();
    EXPECT_TRUE(lines[0].startsWith(u"found "_s)) << "unlocked: the item is there";
    expectQuickNone(lines[1], 2500);
    EXPECT_TRUE(lines[2].startsWith(u"found "_s)) << "unlocked by the password typed into the prompt";
}

} // namespace
