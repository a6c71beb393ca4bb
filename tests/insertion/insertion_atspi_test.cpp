// The insertion path against the real services of a headless desktop: Xvfb, the
// accessibility bus and a Qt application that the tests paste into.
#include "core/appsettings.h"
#include "core/blockingwork.h"
#include "core/dictationsessioncontroller.h"
#include "fakeneighbours.h"
#include "insertion/atspi/accessibilitypermission.h"
#include "insertion/atspi/atspiaccessibilitybackend.h"
#include "insertion/textinserter.h"
#include "insertion/x11/qtclipboard.h"
#include "insertion/x11/x11clipboardreader.h"
#include "insertion/x11/xtestkeystrokesender.h"
#include "insertion/x11/xwaylandclipboard.h"
#include "insertiontargetapplication.h"
#include "scriptedaccessibility.h"
#include "stallmeter.h"
#include "testutil.h"

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

#include <QCoro/QCoroTask>

#include <gtest/gtest.h>
#include <xcb/xcb.h>

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
        ASSERT_TRUE(TestUtil::runUntil([&] { return permission.isBusEnabled(); }, 10s));
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
    std::optional<TextInsertionTarget> captureWhen(const std::function<bool(const TextInsertionTarget &)> &wanted)
    {
        std::optional<TextInsertionTarget> captured;
        const auto found = [&] {
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

TEST_F(InsertionIntegrationTest, PastesNothingWhenTheFocusMovedOrAccessibilityIsOff)
{
    target->copy("keep", "<b>keep</b>");
    const std::optional<TextInsertionTarget> captured = captureOf(*target);
    ASSERT_TRUE(captured);

    // A look-alike: same application, title, place and size; only the window itself differs.
    ASSERT_EQ(target->ask("open two 100 100 digits", "opened two"), "opened two");
    EXPECT_EQ(insert(u"Текст"_s, captured), TextInsertionOutcome::targetChanged(u"Открыто другое окно."_s));
    // Its field's validator refuses the text: the paste reaches it, nothing arrives, the text is kept.
    const auto two = captureWhen([&](const auto &t) { return t.window != captured->window && t.focusedElement; });
    EXPECT_EQ(insert(u"Текст"_s, two), TextInsertionOutcome::unconfirmed());

    setAccessibilityEnabled(false);
    EXPECT_FALSE(QCoro::waitFor(inserter->captureTarget()).has_value());
    EXPECT_EQ(insert(u"Текст"_s, captured), TextInsertionOutcome::needsAccessibilityPermission());

    TestUtil::runFor(ClipboardPaste::restoreDelay + 500ms);
    EXPECT_EQ(target->text("one") + target->text("two"), QString());
    EXPECT_EQ(target->clipboard(), std::make_pair(QByteArray("keep"), QByteArray("<b>keep</b>")));
    // The permission request switched the bus back on.
    EXPECT_TRUE(TestUtil::runUntil([&] { return permission.isBusEnabled(); }, 10s));
}

// A clipboard owner that never answers does not hold the program up.
// The user's clipboard comes back byte for byte; one whose owner never answers holds the paste up no more.
TEST_F(InsertionIntegrationTest, PastesCyrillicTextAndRestoresTheClipboardUnlessItsOwnerHangs)
{
    target->copy("earlier text", "<p>earlier <b>text</b></p>");
    EXPECT_EQ(clipboard.snapshot().value_or(ClipboardSnapshot()).items.value(0).keys(),
        (QStringList { u"text/html"_s, u"text/plain"_s }));
    const std::optional<TextInsertionTarget> captured = captureOf(*target);
    ASSERT_TRUE(captured);
    // A whole dictation recognised on this computer (its recogniser a stand-in that knows the text).
    const QString text = u"Привет, мир! Съешь же ещё этих мягких французских булок."_s;
    TestUtil::clearSettings();
    AppSettings::setBool(AppSettings::Keys::onboardingCompleted, true);
    AppSettings::setSmartMode(SmartMode::verbatim);
    FakeNeighbourhood f;
    f.backend.configured = false;
    DictationSessionController::Neighbours neighbours = f.neighbours();
    neighbours.textInserter = inserter.get();
    DictationSessionController controller(neighbours);
    const StallMeter dictationStall;
    controller.toggleFnDictation();
    ASSERT_TRUE(TestUtil::runUntil([&] { return controller.state() == DictationState::recording; }, 10s));
    f.recorder.feed(QByteArray(4800, '\0'));
    controller.toggleFnDictation();
    ASSERT_TRUE(TestUtil::runUntil([&] { return f.lastTranscriber()->committing.calls == 1; }));
    f.lastTranscriber()->callbacks.onFinal(text);
    ASSERT_TRUE(TestUtil::runUntil([&] { return controller.state() == DictationState::idle; }, 20s));
    EXPECT_LT(dictationStall.longestMilliseconds(), StallMeter::limitMilliseconds);
    EXPECT_EQ(f.log->last(), u"overlay.message|✓  Текст вставлен||success|3500"_s);
    EXPECT_EQ(target->text("one"), text);
    TestUtil::runFor(ClipboardPaste::restoreDelay + 500ms);
    EXPECT_EQ(
        target->clipboard(), std::make_pair(QByteArray("earlier text"), QByteArray("<p>earlier <b>text</b></p>")));

    TargetApplication owner(QStringLiteral(INSERTION_TARGET_WINDOW));
    ASSERT_EQ(owner.ask({}, "ready"), "ready");
    owner.copy("mine", "<b>mine</b>");
    ::kill(pid_t(owner.pid()), SIGSTOP);
    const StallMeter hungOwnerStall;
    const QString more = u" Текст поверх занятого буфера"_s;
    EXPECT_EQ(insert(more, captured), TextInsertionOutcome::inserted());
    // Qt's own read would block the thread for seconds per format.
    EXPECT_LT(hungOwnerStall.longestMilliseconds(), 1000.0);
    EXPECT_EQ(target->text("one"), text + more);
    // What could not be read is not put back as an empty clipboard.
    TestUtil::runFor(ClipboardPaste::restoreDelay + 500ms);
    EXPECT_EQ(target->clipboard().first, more.toUtf8());

    // A target that never answers costs a capture or a paste no more than the deadline, and gets nothing.
    ::kill(pid_t(target->pid()), SIGSTOP);
    QElapsedTimer elapsed;
    elapsed.start();
    QCoro::waitFor(inserter->captureTarget());
    EXPECT_LT(elapsed.restart(), (TextInserter::readDeadline + 100ms).count());
    EXPECT_EQ(insert(text, captured),
        TextInsertionOutcome::targetChanged(u"Не удалось определить текущее окно с курсором."_s));
    EXPECT_LT(elapsed.elapsed(), (TextInserter::lookDeadline + 250ms).count());
}

TEST_F(InsertionIntegrationTest, XtermTakesTheTextThroughThePrimarySelection)
{
    if (QStandardPaths::findExecutable(u"xterm"_s).isEmpty() || QStandardPaths::findExecutable(u"xdotool"_s).isEmpty())
        GTEST_SKIP() << "needs xterm and xdotool";
    QTemporaryDir directory;
    const QString typed = directory.filePath(u"typed"_s);
    QProcess xterm;
    // Its window has a huge hostile title, read from the X server when the window is described.
    const QString hostile = u"\x01\x1b[31m\u00ff$(reboot)`id`"_s + QString(100000, u'x');
    xterm.start(u"xterm"_s,
        { u"-u8"_s, u"-T"_s, hostile, u"-geometry"_s, u"80x10+50+400"_s, u"-e"_s, u"sh"_s, u"-c"_s,
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
// and the clipboard is left alone; another tab of a GTK window is another page.
TEST_F(InsertionIntegrationTest, DirectInsertionIntoAQtFieldAndNotIntoAnotherGtkTab)
{
    FakeKeystrokeSender unreachable;
    unreachable.reachesTarget = false;
    inserter = std::make_unique<TextInserter>(*backend, clipboard, unreachable);
    target->copy("keep", "<b>keep</b>");
    const QString text = u"Съешь ещё 🙂 мягких булок"_s;
    EXPECT_EQ(insertOnceSeen(text, captureOf(*target)), TextInsertionOutcome::inserted());
    EXPECT_EQ(insertOnceSeen(u" и чаю"_s, captureOf(*target)), TextInsertionOutcome::inserted());
    EXPECT_EQ(target->text("one"), text + u" и чаю"_s); // at the caret, not at the start

    TargetApplication gtk(QStringLiteral(GTK_TARGET_WINDOW));
    if (gtk.ask({}, "ready") != "ready")
        GTEST_SKIP() << "needs python3-gi and gir1.2-gtk-3.0";
    ASSERT_EQ(gtk.ask("open tabs 100 300", "opened tabs"), "opened tabs");
    const std::optional<TextInsertionTarget> captured = captureOf(gtk);
    ASSERT_TRUE(captured && captured->pageIdentity);
    // Checked at once after the switch, before its events could have reached this program.
    ASSERT_EQ(gtk.ask("activate tabs2", "active tabs2"), "active tabs2");
    EXPECT_EQ(insertOnceSeen(text, captured), TextInsertionOutcome::targetChanged(u"Открыта другая страница."_s));
    EXPECT_EQ(gtk.text("tabs") + gtk.text("tabs2"), QString());
    EXPECT_TRUE(unreachable.sent.empty());
    EXPECT_EQ(target->clipboard(), std::make_pair(QByteArray("keep"), QByteArray("<b>keep</b>")));
}

// While a keystroke could reach it, a GTK entry takes the text straight, the clipboard untouched; once the
// focus moves to another window as the way in is chosen, neither window gets it and nothing is claimed.
TEST_F(InsertionIntegrationTest, GtkTakesTheTextStraightAndNothingOnceTheFocusMovedAway)
{
    FakeKeystrokeSender keys;
    inserter = std::make_unique<TextInserter>(*backend, clipboard, keys);
    target->copy("keep", "<b>keep</b>");
    TargetApplication gtk(QStringLiteral(GTK_TARGET_WINDOW));
    if (gtk.ask({}, "ready") != "ready")
        GTEST_SKIP() << "needs python3-gi and gir1.2-gtk-3.0";
    ASSERT_EQ(gtk.ask("open other 600 300", "opened other"), "opened other");
    ASSERT_EQ(gtk.ask("open one 100 300", "opened one"), "opened one");
    const QString text = u"Съешь ещё 🙂 мягких булок"_s;
    EXPECT_EQ(insertOnceSeen(text, captureOf(gtk)), TextInsertionOutcome::inserted());
    EXPECT_EQ(gtk.text("one"), text);

    const std::optional<TextInsertionTarget> captured = captureOf(gtk);
    keys.onReaches = [&] { gtk.ask("activate other", "active other"); };
    // The other window's notebook tab is another page, and pages are compared before windows.
    EXPECT_EQ(insert(u" и чаю"_s, captured), TextInsertionOutcome::targetChanged(TargetCapture::otherPageReason));
    EXPECT_EQ(gtk.text("one") + gtk.text("other"), text);
    EXPECT_TRUE(keys.sent.empty());
    EXPECT_EQ(target->clipboard(), std::make_pair(QByteArray("keep"), QByteArray("<b>keep</b>")));
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

// Contents larger than one X request go to a reader in pieces (INCR), as a saved screenshot would.
TEST(XwaylandClipboardTest, ServesContentsLargerThanOneRequestInPieces)
{
    if (!liveSession())
        GTEST_SKIP() << "needs scripts/headless-session";
    const auto clipboard = XwaylandClipboard::connect();
    ASSERT_TRUE(clipboard);
    xcb_connection_t *probe = xcb_connect(nullptr, nullptr);
    const QByteArray large = QByteArray("0123456789abcdefghi").repeated(xcb_get_maximum_request_length(probe) / 4);
    xcb_disconnect(probe);
    clipboard->restore({ { { { u"text/plain"_s, large } } } });
    QFuture<std::optional<ClipboardSnapshot>> reading = BlockingWork::run([] { return readX11Clipboard(20s); });
    ASSERT_TRUE(TestUtil::runUntil([&] { return reading.isFinished(); }, 30s));
    ASSERT_TRUE(reading.result());
    EXPECT_EQ(reading.result()->items.value(0).value(u"text/plain"_s), large);
}
