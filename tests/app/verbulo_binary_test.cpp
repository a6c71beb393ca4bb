#include "privatebus.h"
#include "shell/singleinstance.h"
#include "testutil.h"

#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QString binary = QStringLiteral(VERBULO_BINARY);

struct Finished {
    int exitCode = -1;
    bool crashed = false;
    QString standardError;
    QString standardOutput;
};

Finished runToEnd(const QStringList &arguments, const QProcessEnvironment &environment, const QByteArray &input = {})
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(binary, arguments);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60'000)) {
        process.kill();
        process.waitForFinished();
        return { -1, false, u"<timed out>"_s, {} };
    }
    return { process.exitCode(), process.exitStatus() != QProcess::NormalExit,
        QString::fromUtf8(process.readAllStandardError()), QString::fromUtf8(process.readAllStandardOutput()) };
}

// The run ended by itself with a failure status and told the user `why` on standard error.
void expectFailure(const Finished &run, const QString &why)
{
    EXPECT_NE(run.exitCode, 0);
    EXPECT_FALSE(run.crashed);
    EXPECT_TRUE(run.standardError.contains(why)) << run.standardError.toStdString();
}

// Answers that come without display or bus, and without running anything of the application:
// no display was looked for where none is needed, no launch wrote settings.
struct Answer {
    QStringList arguments;
    std::optional<int> exitCode; // none: a failure of any status
    QString expected; // on standard output for success, standard error otherwise
};

void PrintTo(const Answer &answer, std::ostream *out) { *out << answer.arguments.join(u' ').left(40).toStdString(); }

class CommandLineAnswer : public ::testing::TestWithParam<Answer> { };

TEST_P(CommandLineAnswer, ComesWithoutDisplayOrBus)
{
    const Answer &answer = GetParam();
    QTemporaryDir configHome;
    QProcessEnvironment bare; // no display, no session bus, nothing from the caller's desktop
    bare.insert(u"PATH"_s, u"/usr/bin:/bin"_s);
    bare.insert(u"XDG_CONFIG_HOME"_s, configHome.path());
    const Finished run = runToEnd(answer.arguments, bare);
    if (answer.exitCode) {
        EXPECT_EQ(run.exitCode, *answer.exitCode);
    }
    if (answer.exitCode == 0) {
        EXPECT_TRUE(run.standardOutput.contains(answer.expected)) << run.standardOutput.toStdString();
    } else {
        expectFailure(run, answer.expected);
        // The self-test reports on lines of its own; any other failure is one line.
        if (answer.expected != u"VERBULO_SELF_TEST"_s) {
            EXPECT_EQ(run.standardError.trimmed().count(u'\n'), 0) << "one line";
        }
    }
    if (answer.expected != u"display"_s) {
        EXPECT_FALSE(run.standardError.contains(u"display"_s, Qt::CaseInsensitive)) << run.standardError.toStdString();
    }
    EXPECT_TRUE(QDir(configHome.path()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot));
}

INSTANTIATE_TEST_SUITE_P(Arguments, CommandLineAnswer,
    ::testing::Values(Answer { {}, std::nullopt, u"display"_s },
        Answer { { u"--self-test-gigachat"_s, u"--self-test-model"_s, u"m"_s }, std::nullopt, u"VERBULO_SELF_TEST"_s },
        Answer { { u"--toggle"_s, u"--self-test-gigachat"_s, u"--unknown"_s }, std::nullopt, u"VERBULO_SELF_TEST"_s },
        Answer { { u"--help"_s }, 0, u"--self-test-audio <file>"_s }, Answer { { u"-h"_s }, 0, u"--toggle"_s },
        Answer { { u"--toggle"_s, u"--version"_s }, 0, u"verbulo " VERBULO_VERSION " (build "_s },
        Answer { { u"--bogus"_s, u"--toggle"_s }, 2, u"'bogus'"_s }, Answer { { u"--toggle=x"_s }, 2, u"'--toggle'"_s },
        Answer { { u"--self-test-audio"_s, u"a.wav"_s }, 2, u"--self-test-gigachat"_s },
        Answer { QStringList(3000, QString()), 2, u"Unexpected argument"_s },
        Answer { { u"--list-models"_s }, 0, u"parakeet-tdt-0.6b-v3-q4_k_m "_s },
        Answer { { u"--expert"_s }, 2, u"'--expert' works only with '--install-model'"_s },
        Answer { { u"--install-model"_s, u"/bin/sh"_s, u"--expert"_s }, 1, u"не модель распознавания"_s },
        Answer { { u"--model"_s, u"base"_s }, 2, u"'--model' works only with '--transcribe'"_s },
        Answer { { u"--list-models"_s, u"--install-model"_s, u"f"_s }, 2, u"cannot be combined"_s },
        Answer { { u"--download-model"_s, u"huge"_s }, 2, u"«huge»"_s },
        Answer { { u"--transcribe"_s, u"/nonexistent.wav"_s, u"--model"_s, u"/nonexistent.bin"_s }, 1,
            u"/nonexistent.bin"_s },
        Answer { { u"--transcribe"_s, u"a.wav"_s, u"--server-model"_s, u"m"_s }, 2, u"works only with '--server'"_s },
        Answer { { u"--mode"_s, u"clean"_s }, 2, u"'--mode' works only with '--process-text'"_s },
        Answer { { u"--process-text"_s, u"--mode"_s, u"bogus"_s }, 2, u"нет режима «bogus»"_s }));

TEST(ProcessText, EditsRecognisedLinesAsADictationOnThisComputerDoes)
{
    QTemporaryDir configHome;
    QProcessEnvironment bare;
    bare.insert(u"XDG_CONFIG_HOME"_s, configHome.path());
    const QByteArray lines = u"Я, типа, не знаю.\nПривет, запятая\n\nКак дела? Вопросительный знак.\n"
                             "Субтитры сделал DimaTorzok\n"_s.toUtf8();
    const std::pair<QString, QString> modes[] = { { u"clean"_s, u"Я не знаю. Привет, как дела?\n"_s },
        { u"verbatim"_s, u"Я, типа, не знаю. Привет, как дела?\n"_s } };
    for (const auto &[mode, expected] : modes) {
        const Finished run = runToEnd({ u"--process-text"_s, u"--mode"_s, mode }, bare, lines);
        EXPECT_EQ(run.exitCode, 0) << run.standardError.toStdString();
        EXPECT_EQ(run.standardOutput, expected);
    }
    // 100 KB in one go, each line a segment: the same sentence every time, nothing lost.
    const QString line = u"Ну, это 10 мм, точка зрения точка"_s;
    const int count = 100'000 / int(line.toUtf8().size() + 1);
    const Finished large = runToEnd(
        { u"--process-text"_s, u"--mode"_s, u"clean"_s }, bare, QStringList(count, line).join(u'\n').toUtf8());
    EXPECT_EQ(large.exitCode, 0);
    EXPECT_EQ(large.standardOutput, QStringList(count, u"Это 10 мм, точка зрения."_s).join(u' ') + u'\n');
}

class RunningInstance : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!qEnvironmentVariableIsSet("VERBULO_HEADLESS_SESSION"))
            GTEST_SKIP() << "needs the headless session (scripts/headless-session)";
        ASSERT_FALSE(bus.address().isEmpty()) << "dbus-daemon did not start";
        environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, bus.address());
        environment.insert(u"XDG_CONFIG_HOME"_s, configHome.path());
        environment.remove(u"QT_QPA_PLATFORM"_s); // the real X server, not offscreen
        // Off the shared accessibility bus, where the insertion tests start and stop applications.
        environment.insert(u"AT_SPI_BUS_ADDRESS"_s, u"unix:path=/nonexistent/verbulo-a11y-bus"_s);
        watcher = QDBusConnection::connectToBus(bus.address(), u"watcher"_s);
    }

    void TearDown() override
    {
        if (primary.state() != QProcess::NotRunning) {
            primary.kill();
            primary.waitForFinished();
        }
        QDBusConnection::disconnectFromBus(u"watcher"_s);
        QDBusConnection::disconnectFromBus(u"test-instance"_s);
    }

    bool nameIsOwned() { return watcher.interface()->isServiceRegistered(SingleInstance::serviceName.toString()); }

    void startPrimary()
    {
        primary.setProcessEnvironment(environment);
        primary.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        primary.start(binary, QStringList());
        ASSERT_TRUE(primary.waitForStarted(30'000));
        ASSERT_TRUE(TestUtil::runUntil([&] { return nameIsOwned() || primary.state() == QProcess::NotRunning; }, 60s));
        ASSERT_EQ(primary.state(), QProcess::Running);
    }

    PrivateBus bus;
    QTemporaryDir configHome;
    QProcessEnvironment environment;
    QDBusConnection watcher { QString() };
    QProcess primary;
};

TEST_F(RunningInstance, LaunchesStaysUpAndAnswersLaterStarts)
{
    startPrimary();
    // The file itself: QSettings keeps what it once read of a file in a cache of its own, which a
    // write in the same instant as the read can leave stale for good.
    QFile stored(configHome.filePath(u"plumrest/Vorsik.ini"_s));
    EXPECT_TRUE(TestUtil::runUntil(
        [&] {
            const bool read = stored.open(QIODevice::ReadOnly);
            const bool written = read && stored.readAll().split('\n').contains("aiProvider=vorsik");
            stored.close();
            return written;
        },
        30s));

    // A later start hands over and leaves; so does --toggle. Each exits 0 only
    // when the running instance has answered.
    for (const QStringList &arguments : { QStringList {}, QStringList { u"--toggle"_s } }) {
        SCOPED_TRACE(arguments.join(u' ').toStdString());
        const Finished run = runToEnd(arguments, environment);
        EXPECT_EQ(run.exitCode, 0) << run.standardError.toStdString();
        EXPECT_FALSE(run.crashed);
    }
    TestUtil::runFor(500ms);
    EXPECT_EQ(primary.state(), QProcess::Running);

    // Termination by signal runs the orderly shutdown and exits 0.
    primary.terminate();
    ASSERT_TRUE(primary.waitForFinished(30'000));
    EXPECT_EQ(primary.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(primary.exitCode(), 0);
}

// A press is acted on when it arrives, before work queued while it was on its way.
TEST_F(RunningInstance, LaterStartDeliversReopenAndToggleBeforeQueuedWork)
{
    // This test is the running instance; the program is the later start.
    SingleInstance running(QDBusConnection::connectToBus(bus.address(), u"test-instance"_s));
    ASSERT_EQ(QCoro::waitFor(running.claim(SingleInstance::Request::reopen)), SingleInstance::Role::primary);
    QStringList received;
    QObject::connect(&running, &SingleInstance::reopenRequested, &running, [&] { received.append(u"reopen"_s); });
    QObject::connect(&running, &SingleInstance::toggleRequested, &running, [&] { received.append(u"toggle"_s); });
    struct QueueWorkAtDelivery : QObject {
        QStringList *received;
        bool eventFilter(QObject *watched, QEvent *event) override
        {
            if (event->type() == QEvent::MetaCall && watched->parent() && watched->parent()->inherits("SingleInstance"))
                QMetaObject::invokeMethod(
                    this, [this] { received->append(u"queued work"_s); }, Qt::QueuedConnection);
            return false;
        }
    } queueWork;
    queueWork.received = &received;
    QCoreApplication::instance()->installEventFilter(&queueWork);

    // Driven through the event loop, so this process can answer while the program waits.
    for (const QStringList &arguments : { QStringList(), QStringList { u"--toggle"_s } }) {
        QProcess later;
        later.setProcessEnvironment(environment);
        later.start(binary, arguments);
        ASSERT_TRUE(TestUtil::runUntil([&] { return later.state() == QProcess::NotRunning; }, 60s));
        EXPECT_EQ(later.exitCode(), 0) << later.readAllStandardError().toStdString();
        TestUtil::runFor(50ms);
    }
    EXPECT_EQ(received, (QStringList { u"reopen"_s, u"queued work"_s, u"toggle"_s, u"queued work"_s }));
}

TEST_F(RunningInstance, NameHeldByAProgramThatDoesNotAnswerOrNoBusIsAFailure)
{
    QDBusConnection squatter = QDBusConnection::connectToBus(bus.address(), u"test-instance"_s);
    ASSERT_TRUE(squatter.registerService(SingleInstance::serviceName.toString()));
    expectFailure(runToEnd({}, environment), u"did not answer"_s);
    environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path=/nonexistent/verbulo-bus"_s);
    expectFailure(runToEnd({}, environment), u"verbulo: no D-Bus session bus"_s);
}

} // namespace
