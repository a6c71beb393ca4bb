// The insertion path against the real services of a headless desktop: Xvfb, the
// accessibility bus and a Qt application that the tests paste into.
#include "accessibilitypermission.h"
#include "atspiaccessibilitybackend.h"
#include "insertiontargetapplication.h"
#include "overlaypanelcontroller.h"
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
#include <QWidget>
#include <QWindow>

#include <QCoro/QCoroTask>

#include <gtest/gtest.h>

#include <csignal>
#include <deque>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

void PrintTo(const TextInsertionOutcome &outcome, std::ostream *out)
{
    *out << "outcome " << int(outcome.kind) << " " << outcome.reason.toStdString();
}

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
        target = startTarget();
        ASSERT_EQ(target->ask("open one 100 100", "opened one"), "opened one");
    }

    void TearDown() override
    {
        inserter.reset();
        targets.clear();
        if (liveSession())
            setAccessibilityEnabled(true);
    }

    TargetApplication *startTarget()
    {
        targets.push_back(std::make_unique<TargetApplication>(QStringLiteral(INSERTION_TARGET_WINDOW)));
        EXPECT_EQ(targets.back()->ask({}, "ready"), "ready");
        return targets.back().get();
    }

    // The application registers on the accessibility bus some time after its window shows.
    std::optional<TextInsertionTarget> captureOf(const TargetApplication &application)
    {
        std::optional<TextInsertionTarget> captured;
        const auto found = [&] {
            captured = QCoro::waitFor(inserter->captureTarget());
            return captured && captured->applicationPID == application.pid() && captured->focusedElement;
        };
        return TestUtil::runUntil(found, 20s) ? captured : std::nullopt;
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
    std::deque<std::unique_ptr<TargetApplication>> targets;
    TargetApplication *target = nullptr;
};

} // namespace

TEST_F(InsertionIntegrationTest, CaptureFindsProcessWindowAndFocusedField)
{
    const std::optional<TextInsertionTarget> captured = captureOf(*target);
    ASSERT_TRUE(captured);
    const WindowFingerprint &window = captured->windowFingerprint;
    EXPECT_EQ(window.title, u"Vorsik target"_s);
    ASSERT_TRUE(window.number && window.frame);
    EXPECT_NEAR(window.frame->width(), 420, 1);
}

TEST_F(InsertionIntegrationTest, PastesCyrillicTextAndRestoresTheClipboardUnlessSomeoneCopied)
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

    EXPECT_EQ(insert(u"Текст"_s, captured), TextInsertionOutcome::inserted());
    target->copy("newer", "<i>newer</i>");
    TestUtil::runFor(TextInserter::restoreDelay + 500ms);
    EXPECT_EQ(target->clipboard(), std::make_pair(QByteArray("newer"), QByteArray("<i>newer</i>")));

    // An empty clipboard is empty again afterwards.
    clipboard.restore(ClipboardSnapshot {});
    ASSERT_EQ(target->clipboard(), std::make_pair(QByteArray(), QByteArray()));
    EXPECT_EQ(insert(u"Текст"_s, captured), TextInsertionOutcome::inserted());
    TestUtil::runFor(TextInserter::restoreDelay + 500ms);
    EXPECT_EQ(target->clipboard(), std::make_pair(QByteArray(), QByteArray()));
}

TEST_F(InsertionIntegrationTest, PastesNothingWhenTheFocusMovedOrAccessibilityIsOff)
{
    target->copy("keep", "<b>keep</b>");
    const std::optional<TextInsertionTarget> captured = captureOf(*target);
    ASSERT_TRUE(captured);

    // A look-alike: same application, title, place and size; only the window itself differs.
    ASSERT_EQ(target->ask("open two 100 100", "opened two"), "opened two");
    EXPECT_EQ(insert(u"Текст"_s, captured), TextInsertionOutcome::targetChanged(u"Открыто другое окно."_s));

    TargetApplication *other = startTarget();
    ASSERT_EQ(other->ask("open three 100 100", "opened three"), "opened three");
    ASSERT_TRUE(captureOf(*other));
    EXPECT_EQ(insert(u"Текст"_s, captured), TextInsertionOutcome::targetChanged(u"Открыто другое приложение."_s));

    setAccessibilityEnabled(false);
    EXPECT_FALSE(QCoro::waitFor(inserter->captureTarget()).has_value());
    EXPECT_EQ(insert(u"Текст"_s, captured), TextInsertionOutcome::needsAccessibilityPermission());

    TestUtil::runFor(300ms);
    EXPECT_EQ(target->text("one") + target->text("two") + other->text("three"), QString());
    EXPECT_EQ(target->clipboard(), std::make_pair(QByteArray("keep"), QByteArray("<b>keep</b>")));
    // The permission request switched the bus back on.
    EXPECT_TRUE(TestUtil::runUntil([&] { return permission.isTrusted(); }, 10s));
}

TEST_F(InsertionIntegrationTest, ClipboardOwnerThatNeverAnswersHoldsNothingUpAndIsNotEmptied)
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
}

TEST_F(InsertionIntegrationTest, VanishedApplicationLeavesStaleElementsThatReadAsAbsent)
{
    const std::optional<TextInsertionTarget> captured = captureOf(*target);
    ASSERT_TRUE(captured);
    target->killNow();
    TestUtil::runFor(300ms);
    EXPECT_EQ(insert(u"Текст"_s, captured),
        TextInsertionOutcome::targetChanged(u"Не удалось определить текущее окно с курсором."_s));
}

TEST_F(InsertionIntegrationTest, HungApplicationDoesNotFreezeTheCapture)
{
    ASSERT_TRUE(captureOf(*target));
    ::kill(pid_t(target->pid()), SIGSTOP);
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer elapsed;
        elapsed.start();
        QCoro::waitFor(inserter->captureTarget());
        EXPECT_LT(elapsed.elapsed(), (TextInserter::readDeadline + 100ms).count());
    }
    ::kill(pid_t(target->pid()), SIGCONT);
}

TEST_F(InsertionIntegrationTest, AnotherTabOfAGtkWindowIsAnotherPage)
{
    TargetApplication gtk(QStringLiteral(GTK_TARGET_WINDOW));
    if (gtk.ask({}, "ready") != "ready")
        GTEST_SKIP() << "needs python3-gi and gir1.2-gtk-3.0";
    ASSERT_EQ(gtk.ask("open tabs 100 300", "opened tabs"), "opened tabs");
    const std::optional<TextInsertionTarget> captured = captureOf(gtk);
    ASSERT_TRUE(captured && captured->pageIdentity);

    // Checked at once after the switch, before its events could have reached this program.
    ASSERT_EQ(gtk.ask("activate tabs2", "active tabs2"), "active tabs2");
    EXPECT_EQ(insertOnceSeen(u"Текст"_s, captured), TextInsertionOutcome::targetChanged(u"Открыта другая страница."_s));
    // A loaded machine may make the application look hung for a moment: awaited until a capture sees it.
    ASSERT_EQ(gtk.ask("activate tabs", "active tabs"), "active tabs");
    ASSERT_TRUE(captureOf(gtk));
    // Back on the first tab the text must land; on a loaded machine GTK may miss the confirmation
    // reads, and then saying "unconfirmed" is honest, so either outcome holds but the text must be exact.
    const TextInsertionOutcome back = insertOnceSeen(u"Привет, 🙂"_s, captured);
    EXPECT_TRUE(back == TextInsertionOutcome::inserted() || back == TextInsertionOutcome::unconfirmed());
    EXPECT_EQ(gtk.text("tabs"), u"Привет, 🙂"_s);
    EXPECT_EQ(gtk.text("tabs2"), QString());
}

TEST_F(InsertionIntegrationTest, KeptTextIsCopiedByARealPointerClickOnTheOverlay)
{
    if (QStandardPaths::findExecutable(u"xdotool"_s).isEmpty())
        GTEST_SKIP() << "needs xdotool";
    OverlayPanelController overlay;
    // A status first, so the result grows the panel beyond the status height.
    overlay.showListening();
    const QString text = u"Сохранённый текст 🙂"_s;
    overlay.presentResult(u"Текст сохранён"_s, u"Причина."_s, text);
    ASSERT_TRUE(TestUtil::runUntil([&] { return overlay.panel()->windowHandle()->isExposed(); }, 5s));
    const QWidget *copy = overlay.panel()->findChild<QWidget *>(u"copyButton"_s);
    const QPoint centre = copy->mapToGlobal(copy->rect().center());
    ASSERT_GT(centre.y() - overlay.panel()->y(), OverlayPanelController::statusHeight);
    ASSERT_EQ(QProcess::execute(u"xdotool"_s,
                  { u"mousemove"_s, u"--sync"_s, QString::number(centre.x()), QString::number(centre.y()), u"click"_s,
                      u"1"_s }),
        0);
    EXPECT_TRUE(TestUtil::runUntil([&] { return target->clipboard().first == text.toUtf8(); }, 5s));
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
    std::optional<TextInsertionTarget> captured;
    ASSERT_TRUE(TestUtil::runUntil(
        [&] {
            QProcess::execute(u"xdotool"_s, focusPage);
            captured = QCoro::waitFor(inserter->captureTarget());
            return captured && captured->focusedElement && captured->pageIdentity.value_or(QString()).endsWith(url);
        },
        30s));
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
    std::optional<TextInsertionTarget> captured;
    ASSERT_TRUE(TestUtil::runUntil(
        [&] {
            captured = QCoro::waitFor(inserter->captureTarget());
            return captured && captured->applicationPID == qint32(xterm.processId());
        },
        20s));
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

// Where no keystroke reaches the window, an editable field takes the text over the accessibility bus.
struct DirectCase {
    const char *name;
    const char *program;
};

void PrintTo(const DirectCase &c, std::ostream *out) { *out << c.name; }

class DirectInsertionTest : public InsertionIntegrationTest, public ::testing::WithParamInterface<DirectCase> { };

TEST_P(DirectInsertionTest, InsertsAtTheCaretWithoutTheClipboardAndReadsItBack)
{
    TargetApplication application(QString::fromUtf8(GetParam().program));
    if (application.ask({}, "ready") != "ready")
        GTEST_SKIP() << "cannot start " << GetParam().program;
    FakeKeystrokeSender unreachable;
    unreachable.reachesTarget = false;
    inserter.reset();
    backend = std::make_unique<AtspiAccessibilityBackend>(permission);
    inserter = std::make_unique<TextInserter>(*backend, clipboard, unreachable);
    ASSERT_EQ(application.ask("open direct 100 300", "opened direct"), "opened direct");
    const std::optional<TextInsertionTarget> captured = captureOf(application);
    ASSERT_TRUE(captured);
    target->copy("keep", "<b>keep</b>");

    const QString text = u"Съешь ещё 🙂 мягких булок"_s;
    EXPECT_EQ(insertOnceSeen(text, captured), TextInsertionOutcome::inserted());
    EXPECT_EQ(application.text("direct"), text);
    EXPECT_TRUE(unreachable.sent.empty());
    EXPECT_EQ(target->clipboard(), std::make_pair(QByteArray("keep"), QByteArray("<b>keep</b>")));
}

INSTANTIATE_TEST_SUITE_P(Toolkits, DirectInsertionTest,
    ::testing::Values(DirectCase { "Qt", INSERTION_TARGET_WINDOW }, DirectCase { "Gtk", GTK_TARGET_WINDOW }),
    [](const ::testing::TestParamInfo<DirectCase> &info) { return std::string(info.param.name); });

// A program the accessibility bus cannot see: its window in front is all there is to check.
struct WindowLevelCase {
    const char *name;
    bool terminal;
    QByteArray change; // what happens between the two presses: a command to the program, "kill", or nothing
    TextInsertionOutcome outcome;
};

void PrintTo(const WindowLevelCase &c, std::ostream *out) { *out << c.name; }

class WindowLevelTest : public InsertionIntegrationTest, public ::testing::WithParamInterface<WindowLevelCase> { };

TEST_P(WindowLevelTest, PastesOnlyIntoTheSameWindowWithTheSameTitle)
{
    const WindowLevelCase &c = GetParam();
    QHash<QString, QString> environment { { u"QT_LINUX_ACCESSIBILITY_ALWAYS_ON"_s, {} },
        { u"AT_SPI_BUS_ADDRESS"_s, {} }, { u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path=/nonexistent"_s } };
    if (c.terminal)
        environment.insert({ { u"VERBULO_TARGET_TERMINAL"_s, u"1"_s }, { u"RESOURCE_NAME"_s, u"xterm"_s } });
    TargetApplication hidden(QStringLiteral(INSERTION_TARGET_WINDOW), environment);
    ASSERT_EQ(hidden.ask({}, "ready"), "ready");
    ASSERT_EQ(hidden.ask("open one 100 300", "opened one"), "opened one");
    std::optional<TextInsertionTarget> captured;
    ASSERT_TRUE(TestUtil::runUntil(
        [&] {
            captured = QCoro::waitFor(inserter->captureTarget());
            return captured && captured->applicationPID == hidden.pid();
        },
        20s));
    ASSERT_TRUE(captured->windowLevel && captured->windowFingerprint.number);
    EXPECT_EQ(captured->windowFingerprint.title, u"Vorsik target"_s);

    const QString text = u"Привет из окна без доступности 🙂"_s;
    if (c.change == "kill") {
        // Whatever is in front afterwards, the text must not land there.
        hidden.killNow();
        EXPECT_EQ(insert(text, captured).kind, TextInsertionOutcome::Kind::targetChanged);
        EXPECT_EQ(target->text("one"), QString());
        return;
    }
    if (!c.change.isEmpty()) {
        const QByteArray word = c.change.split(' ').value(0);
        ASSERT_FALSE(hidden.ask(c.change, word == "open" ? "opened" : "titled").isEmpty());
    }
    EXPECT_EQ(insert(text, captured), c.outcome);
    EXPECT_EQ(hidden.text("one"), c.outcome == TextInsertionOutcome::inserted() ? text : QString());
}

const QByteArray hugeHostileTitle = ("\x01\x1b[31m\xff\xfe$(reboot)`id`" + QByteArray(200000, 'x')).toBase64();

INSTANTIATE_TEST_SUITE_P(Cases, WindowLevelTest,
    ::testing::Values(WindowLevelCase { "Unchanged", false, {}, TextInsertionOutcome::inserted() },
        WindowLevelCase { "TerminalByWindowClass", true, {}, TextInsertionOutcome::inserted() },
        WindowLevelCase { "TitleSpacedOut", false, "title one " + QByteArray(" Vorsik target\n").toBase64(),
            TextInsertionOutcome::inserted() },
        WindowLevelCase { "AnotherWindow", false, "open two 100 300",
            TextInsertionOutcome::targetChanged(TargetCapture::otherWindowReason) },
        WindowLevelCase { "Retitled", false, "title one " + u"Другой документ"_s.toUtf8().toBase64(),
            TextInsertionOutcome::targetChanged(TargetCapture::otherWindowReason) },
        WindowLevelCase { "HostileTitle", false, "title one " + hugeHostileTitle,
            TextInsertionOutcome::targetChanged(TargetCapture::otherWindowReason) },
        WindowLevelCase { "ApplicationDied", false, "kill", {} }),
    [](const ::testing::TestParamInfo<WindowLevelCase> &info) { return std::string(info.param.name); });

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
