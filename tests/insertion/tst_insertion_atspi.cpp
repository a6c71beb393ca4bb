// The insertion path against the real services of a headless desktop: Xvfb, the
// accessibility bus and a Qt application that the tests paste into.
#include "accessibilitypermission.h"
#include "atspiaccessibilitybackend.h"
#include "insertiontargetapplication.h"
#include "qtclipboard.h"
#include "scriptedaccessibility.h"
#include "testutil.h"
#include "textinserter.h"
#include "xtestkeystrokesender.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <gtest/gtest.h>

#include <csignal>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

bool liveSession() { return qEnvironmentVariableIsSet("VERBULO_HEADLESS_SESSION"); }

void setAccessibilityEnabled(bool enabled)
{
    QDBusMessage set = QDBusMessage::createMethodCall(
        u"org.a11y.Bus"_s, u"/org/a11y/bus"_s, u"org.freedesktop.DBus.Properties"_s, u"Set"_s);
    set << u"org.a11y.Status"_s << u"IsEnabled"_s << QVariant::fromValue(QDBusVariant(enabled));
    QDBusConnection::sessionBus().call(set, QDBus::Block, 5000);
}

class InsertionIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!liveSession())
            GTEST_SKIP() << "needs scripts/headless-session";
        setAccessibilityEnabled(true);
        ASSERT_TRUE(TestUtil::runUntil([&] { return permission.isTrusted(); }, 10s));
        backend = std::make_unique<AtspiAccessibilityBackend>(permission);
        keys = std::make_unique<XTestKeystrokeSender>();
        inserter = std::make_unique<TextInserter>(*backend, clipboard, *keys);
        target = std::make_unique<TargetApplication>(QStringLiteral(INSERTION_TARGET_WINDOW));
        ASSERT_EQ(target->ask({}, "ready"), "ready");
        ASSERT_EQ(target->ask("open one 100 100", "opened one"), "opened one");
    }

    void TearDown() override
    {
        inserter.reset();
        target.reset();
        if (liveSession())
            setAccessibilityEnabled(true);
    }

    // Applications register on the accessibility bus some time after their windows show.
    std::optional<TextInsertionTarget> captureWhen(
        const std::function<bool(const TextInsertionTarget &)> &wanted, const std::function<void()> &before = {})
    {
        std::optional<TextInsertionTarget> captured;
        const auto found = [&] {
            if (before)
                before();
            captured = QCoro::waitFor(inserter->captureTarget());
            return captured && wanted(*captured);
        };
        return TestUtil::runUntil(found, 30s) ? captured : std::nullopt;
    }
    std::optional<TextInsertionTarget> captureOf(const TargetApplication &application)
    {
        return captureWhen([&](const auto &t) { return t.applicationPID == application.pid() && t.focusedElement; });
    }

    TextInsertionOutcome insert(const QString &text, std::optional<TextInsertionTarget> where)
    {
        return QCoro::waitFor(inserter->insert(text, std::move(where)));
    }

    // A loaded machine can make a GTK application look hung for a moment; the text is then kept
    // without a keystroke, so trying again until its window is seen changes nothing in it.
    TextInsertionOutcome insertOnceSeen(const QString &text, const std::optional<TextInsertionTarget> &where)
    {
        const TextInsertionOutcome unseen = TextInsertionOutcome::targetChanged(TargetCapture::noCurrentWindowReason);
        TextInsertionOutcome outcome = unseen;
        TestUtil::runUntil([&] { return (outcome = insert(text, where)) != unseen; }, 20s);
        return outcome;
    }

    AccessibilityPermission permission;
    QtClipboard clipboard;
    std::unique_ptr<AtspiAccessibilityBackend> backend;
    std::unique_ptr<XTestKeystrokeSender> keys;
    std::unique_ptr<TextInserter> inserter;
    std::unique_ptr<TargetApplication> target;
};

} // namespace

TEST_F(InsertionIntegrationTest, PastesCyrillicTextAndRestoresTheClipboardByteExact)
{
    target->copy("earlier text", "<p>earlier <b>text</b></p>");
    EXPECT_EQ(clipboard.snapshot().value_or(ClipboardSnapshot()).items.value(0).keys(),
        (QStringList { u"text/html"_s, u"text/plain"_s }));
    const std::optional<TextInsertionTarget> captured = captureOf(*target);
    ASSERT_TRUE(captured);
    const QString text = u"Привет, мир! Съешь же ещё этих мягких французских булок."_s;
    EXPECT_EQ(insert(text, captured), TextInsertionOutcome::inserted());
    EXPECT_EQ(target->text("one"), text);
    TestUtil::runFor(TextInserter::restoreDelay + 500ms);
    EXPECT_EQ(
        target->clipboard(), std::make_pair(QByteArray("earlier text"), QByteArray("<p>earlier <b>text</b></p>")));
}

TEST_F(InsertionIntegrationTest, PastesNothingWhenTheFocusMovedOrAccessibilityIsOff)
{
    target->copy("keep", "<b>keep</b>");
    const std::optional<TextInsertionTarget> captured = captureOf(*target);
    ASSERT_TRUE(captured);

    // A look-alike: same application, title, place and size; only the window itself differs.
    ASSERT_EQ(target->ask("open two 100 100", "opened two"), "opened two");
    EXPECT_EQ(insert(u"Текст"_s, captured), TextInsertionOutcome::targetChanged(u"Открыто другое окно."_s));

    setAccessibilityEnabled(false);
    EXPECT_FALSE(QCoro::waitFor(inserter->captureTarget()).has_value());
    EXPECT_EQ(insert(u"Текст"_s, captured), TextInsertionOutcome::needsAccessibilityPermission());

    TestUtil::runFor(300ms);
    EXPECT_EQ(target->text("one") + target->text("two"), QString());
    EXPECT_EQ(target->clipboard(), std::make_pair(QByteArray("keep"), QByteArray("<b>keep</b>")));
    // The permission request switched the bus back on.
    EXPECT_TRUE(TestUtil::runUntil([&] { return permission.isTrusted(); }, 10s));

    // A vanished application leaves stale elements that read as absent.
    target->killNow();
    TestUtil::runFor(300ms);
    EXPECT_EQ(insert(u"Текст"_s, captured), TextInsertionOutcome::targetChanged(TargetCapture::noCurrentWindowReason));
}

// Neither a clipboard owner nor a target that never answers holds the program up.
TEST_F(InsertionIntegrationTest, HungApplicationsCostNoMoreThanTheDeadline)
{
    TargetApplication owner(QStringLiteral(INSERTION_TARGET_WINDOW));
    ASSERT_EQ(owner.ask({}, "ready"), "ready");
    owner.copy("mine", "<b>mine</b>");
    const std::optional<TextInsertionTarget> captured = captureOf(*target);
    ASSERT_TRUE(captured);
    ::kill(pid_t(owner.pid()), SIGSTOP);

    QElapsedTimer sinceTick;
    qint64 longestGap = 0;
    QTimer ticks;
    QObject::connect(&ticks, &QTimer::timeout, [&] { longestGap = std::max(longestGap, sinceTick.restart()); });
    sinceTick.start();
    ticks.start(5);
    const QString text = u"Текст поверх занятого буфера"_s;
    EXPECT_EQ(insert(text, captured), TextInsertionOutcome::inserted());
    ticks.stop();
    // Qt's own read would block the thread for seconds per format.
    EXPECT_LT(longestGap, 1000);
    EXPECT_EQ(target->text("one"), text);
    // What could not be read is not put back as an empty clipboard.
    TestUtil::runFor(TextInserter::restoreDelay + 500ms);
    EXPECT_EQ(target->clipboard().first, text.toUtf8());

    ::kill(pid_t(target->pid()), SIGSTOP);
    for (int i = 0; i < 3; ++i) {
        QElapsedTimer elapsed;
        elapsed.start();
        QCoro::waitFor(inserter->captureTarget());
        EXPECT_LT(elapsed.elapsed(), (TextInserter::readDeadline + 100ms).count());
    }
}

// Started as users start it, without an accessibility flag: its page has to be woken.
TEST_F(InsertionIntegrationTest, ChromiumShowsItsFocusedFieldAndTakesTheText)
{
    if (QStandardPaths::findExecutable(u"chromium"_s).isEmpty()
        || QStandardPaths::findExecutable(u"xdotool"_s).isEmpty())
        GTEST_SKIP() << "needs chromium and xdotool";
    QTemporaryDir directory;
    QFile page(directory.filePath(u"page.html"_s));
    ASSERT_TRUE(page.open(QIODevice::WriteOnly));
    page.write("<title>Page</title><textarea autofocus></textarea>");
    page.close();
    const QString url = QUrl::fromLocalFile(page.fileName()).toString();
    QProcess chromium;
    chromium.start(
        u"chromium"_s, { u"--no-sandbox"_s, u"--no-first-run"_s, u"--user-data-dir="_s + directory.path(), url });
    // Without a window manager nothing gives a starting browser's window the focus back when it
    // loses it, so the focus is given as a click would, until the page shows its field.
    const QStringList findPage { u"search"_s, u"--onlyvisible"_s, u"--name"_s, u"^Page - Chromium"_s };
    QProcess search;
    search.start(u"xdotool"_s, QStringList { u"search"_s, u"--sync"_s } + findPage.mid(1));
    ASSERT_TRUE(search.waitForFinished(60000));
    const QStringList focusPage = findPage + QStringList { u"windowfocus"_s, u"--sync"_s };
    const auto captured = captureWhen(
        [&](const auto &t) { return t.focusedElement && t.pageIdentity.value_or(QString()).endsWith(url); },
        [&] { QProcess::execute(u"xdotool"_s, focusPage); });
    ASSERT_TRUE(captured);
    // What is under test is the field Chromium shows once asked; its value reaches the bus late on a
    // loaded machine, and saying "unconfirmed" then is honest.
    const TextInsertionOutcome outcome = insert(u"Привет, Хромиум 🙂"_s, captured);
    EXPECT_TRUE(outcome == TextInsertionOutcome::inserted() || outcome == TextInsertionOutcome::unconfirmed())
        << testing::PrintToString(outcome);
    chromium.terminate();
    chromium.waitForFinished(10000);
}

TEST_F(InsertionIntegrationTest, XtermTakesTheTextThroughThePrimarySelection)
{
    if (QStandardPaths::findExecutable(u"xterm"_s).isEmpty() || QStandardPaths::findExecutable(u"xdotool"_s).isEmpty())
        GTEST_SKIP() << "needs xterm and xdotool";
    QTemporaryDir directory;
    const QString typed = directory.filePath(u"typed"_s);
    QProcess xterm;
    xterm.start(u"xterm"_s,
        { u"-u8"_s, u"-geometry"_s, u"80x10+50+400"_s, u"-e"_s, u"sh"_s, u"-c"_s,
            u"stty raw -echo; exec cat > \"$0\""_s, typed });
    ASSERT_TRUE(xterm.waitForStarted());
    QProcess search;
    search.start(u"xdotool"_s, { u"search"_s, u"--sync"_s, u"--pid"_s, QString::number(xterm.processId()) });
    ASSERT_TRUE(search.waitForFinished(20000));
    const QString window = QString::fromLatin1(search.readAllStandardOutput()).split(u'\n').value(0);
    ASSERT_EQ(QProcess::execute(u"xdotool"_s, { u"windowfocus"_s, u"--sync"_s, window }), 0);
    const auto captured = captureWhen([&](const auto &t) { return t.applicationPID == qint32(xterm.processId()); });
    ASSERT_TRUE(captured);
    const QString text = u"Привет, терминал 🙂"_s;
    EXPECT_EQ(insert(text, captured), TextInsertionOutcome::inserted());
    const auto landed = [&] {
        QFile file(typed);
        return file.open(QIODevice::ReadOnly) && file.readAll() == text.toUtf8();
    };
    EXPECT_TRUE(TestUtil::runUntil(landed, 5s));
    xterm.kill();
    xterm.waitForFinished();
}

// Where no keystroke reaches the window, an editable field takes the text over the accessibility bus,
// and the clipboard is left alone; another tab of the window is another page.
TEST_F(InsertionIntegrationTest, DirectInsertionIntoQtAndGtkFieldsAndNotIntoAnotherTab)
{
    FakeKeystrokeSender unreachable;
    unreachable.reachesTarget = false;
    inserter = std::make_unique<TextInserter>(*backend, clipboard, unreachable);
    target->copy("keep", "<b>keep</b>");
    const QString text = u"Съешь ещё 🙂 мягких булок"_s;
    EXPECT_EQ(insertOnceSeen(text, captureOf(*target)), TextInsertionOutcome::inserted());
    EXPECT_EQ(target->text("one"), text);

    TargetApplication gtk(QStringLiteral(GTK_TARGET_WINDOW));
    if (gtk.ask({}, "ready") != "ready")
        GTEST_SKIP() << "needs python3-gi and gir1.2-gtk-3.0";
    ASSERT_EQ(gtk.ask("open tabs 100 300", "opened tabs"), "opened tabs");
    const std::optional<TextInsertionTarget> captured = captureOf(gtk);
    ASSERT_TRUE(captured && captured->pageIdentity);
    // Checked at once after the switch, before its events could have reached this program.
    ASSERT_EQ(gtk.ask("activate tabs2", "active tabs2"), "active tabs2");
    EXPECT_EQ(insertOnceSeen(text, captured), TextInsertionOutcome::targetChanged(u"Открыта другая страница."_s));
    ASSERT_EQ(gtk.ask("activate tabs", "active tabs"), "active tabs");
    ASSERT_TRUE(captureOf(gtk));
    EXPECT_EQ(insertOnceSeen(u"Привет, 🙂"_s, captured), TextInsertionOutcome::inserted());
    EXPECT_EQ(gtk.text("tabs"), u"Привет, 🙂"_s);
    EXPECT_EQ(gtk.text("tabs2"), QString());
    EXPECT_TRUE(unreachable.sent.empty());
    EXPECT_EQ(target->clipboard(), std::make_pair(QByteArray("keep"), QByteArray("<b>keep</b>")));
}

// A terminal the accessibility bus cannot see: its window in front, known by its class, is all there is to check.
TEST_F(InsertionIntegrationTest, WindowLevelTargetTakesTextOnlyInTheSameWindowWithTheSameTitle)
{
    TargetApplication hidden(QStringLiteral(INSERTION_TARGET_WINDOW),
        { { u"QT_LINUX_ACCESSIBILITY_ALWAYS_ON"_s, {} }, { u"AT_SPI_BUS_ADDRESS"_s, {} },
            { u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path=/nonexistent"_s }, { u"VERBULO_TARGET_TERMINAL"_s, u"1"_s },
            { u"RESOURCE_NAME"_s, u"xterm"_s } });
    ASSERT_EQ(hidden.ask({}, "ready"), "ready");
    ASSERT_EQ(hidden.ask("open one 100 300", "opened one"), "opened one");
    const auto captured = captureWhen([&](const auto &t) { return t.applicationPID == hidden.pid(); });
    ASSERT_TRUE(captured && captured->windowLevel && captured->windowFingerprint.number);
    EXPECT_EQ(captured->windowFingerprint.title, u"Vorsik target"_s);
    const QString text = u"Привет из окна без доступности 🙂"_s;
    EXPECT_EQ(insert(text, captured), TextInsertionOutcome::inserted());
    EXPECT_EQ(hidden.text("one"), text);

    // Retitled with a huge hostile title; then another window of the program in front; then the program gone.
    const QByteArray hostile = ("\x01\x1b[31m\xff\xfe$(reboot)`id`" + QByteArray(200000, 'x')).toBase64();
    ASSERT_EQ(hidden.ask("title one " + hostile, "titled one"), "titled one");
    EXPECT_EQ(insert(text, captured), TextInsertionOutcome::targetChanged(TargetCapture::otherWindowReason));
    ASSERT_EQ(hidden.ask("open two 100 300", "opened two"), "opened two");
    EXPECT_EQ(insert(text, captured), TextInsertionOutcome::targetChanged(TargetCapture::otherWindowReason));
    EXPECT_EQ(hidden.text("one") + hidden.text("two"), text);
    hidden.killNow();
    EXPECT_EQ(insert(text, captured).kind, TextInsertionOutcome::Kind::targetChanged);
    EXPECT_EQ(target->text("one"), QString());
}

int main(int argc, char *argv[])
{
    // Clipboard and keystrokes must reach the other application: use the X server when there is one.
    QTemporaryDir configHome;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome.path()));
    const bool x11 = liveSession() && !qEnvironmentVariableIsEmpty("DISPLAY");
    qputenv("QT_QPA_PLATFORM", x11 ? "xcb" : "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
