// The paste path on a real KDE Plasma compositor (scripts/kde-session): KWin's fake input, which
// it grants only through an installed .desktop file, into native Wayland Qt and GTK fields; and
// the window in front as KWin's script tells it.
#include "insertion/atspi/accessibilitypermission.h"
#include "insertion/atspi/atspiaccessibilitybackend.h"
#include "insertion/textinserter.h"
#include "insertion/wayland/fakeinputkeystrokesender.h"
#include "insertiontargetapplication.h"
#include "platform/wayland/kwinactivewindow.h"
#include "platform/wayland/waylandclipboard.h"
#include "platform/wayland/waylandconnection.h"
#include "stallmeter.h"
#include "testutil.h"

#include <QApplication>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <gtest/gtest.h>

#include <functional>
#include <map>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

class KdeSessionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!qEnvironmentVariableIsSet("VERBULO_KDE_SESSION"))
            GTEST_SKIP() << "needs scripts/kde-session";
        ASSERT_TRUE(connection.isAlive() && clipboard.isAvailable());
        permission.enableBus();
        ASSERT_TRUE(TestUtil::runUntil([&] { return permission.isBusEnabled(); }, 10s));
    }

    std::optional<TextInsertionTarget> captureWhen(
        TextInserter &inserter, const std::function<bool(const TextInsertionTarget &)> &wanted)
    {
        std::optional<TextInsertionTarget> captured;
        const auto found = [&] {
            captured = QCoro::waitFor(inserter.captureTarget());
            return captured && captured->focusedElement && wanted(*captured);
        };
        return TestUtil::runUntil(found, 20s) ? captured : std::nullopt;
    }

    // What KWin reads to grant this program its fake input, as the package and scripts/run write it.
    static void grant()
    {
        const QString applications = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
            + u"/applications/com.plumrest.Vorsik-test.desktop"_s;
        QFile entry(applications);
        ASSERT_TRUE(entry.open(QIODevice::WriteOnly));
        entry.write("[Desktop Entry]\nType=Application\nName=Vorsik test\nExec="
            + QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath().toUtf8()
            + "\nX-KDE-Wayland-Interfaces=org_kde_kwin_fake_input\n");
    }

    static QDBusMessage callScripting(const QString &method, const QVariantList &arguments)
    {
        QDBusMessage call
            = QDBusMessage::createMethodCall(u"org.kde.KWin"_s, u"/Scripting"_s, u"org.kde.kwin.Scripting"_s, method);
        call.setArguments(arguments);
        return QDBusConnection::sessionBus().call(call);
    }

    // KWin's own doing, as a click on the window would be: the process's window opened `nth`
    // comes to the front.
    static void activate(qint32 pid, int nth = 0)
    {
        QTemporaryFile script(QDir::tempPath() + u"/activate-XXXXXX.js"_s);
        ASSERT_TRUE(script.open());
        script.write(u"const pid = %1, nth = %2;\n"_s.arg(pid).arg(nth).toUtf8() + R"(
const kwin6 = workspace.windowActivated !== undefined;
const windows = (kwin6 ? workspace.windowList() : workspace.clientList()).filter(w => w.pid === pid && w.normalWindow);
const chosen = windows[nth];
if (chosen && kwin6)
    workspace.activeWindow = chosen;
else if (chosen)
    workspace.activeClient = chosen;
)");
        script.flush();
        // KWin reads the file only once the script runs, after `start` has answered: neither the
        // file nor the script may go before that, and this private KWin goes with the test anyway.
        script.setAutoRemove(false);
        static int count = 0;
        const QString name = u"activate-%1"_s.arg(++count);
        ASSERT_EQ(callScripting(u"loadScript"_s, { script.fileName(), name }).type(), QDBusMessage::ReplyMessage);
        callScripting(u"start"_s, {});
    }

    static bool scriptLoaded(const QString &name)
    {
        return callScripting(u"isScriptLoaded"_s, { name }).arguments().value(0).toBool();
    }

    WaylandConnection connection;
    WaylandClipboard clipboard { connection };
    AccessibilityPermission permission;
    AtspiAccessibilityBackend backend { permission };
};

} // namespace

// Without the grant nothing is pressed: a Qt field takes the text over the accessibility bus, and
// where that cannot be, the kept text says that the grant is missing, how to give it only once.
TEST_F(KdeSessionTest, WithoutTheGrantTheFieldTakesTheTextStraightOrTheReasonSaysWhy)
{
    FakeInputKeystrokeSender keys(connection, clipboard);
    ASSERT_FALSE(keys.isAvailable());
    ASSERT_TRUE(keys.grantMissing());
    EXPECT_EQ(keys.unavailableReason(), keys.grantMissingReason + keys.grantHint);
    EXPECT_EQ(keys.unavailableReason(), keys.grantMissingReason);

    TextInserter inserter(backend, clipboard, keys);
    TargetApplication target(QStringLiteral(INSERTION_TARGET_WINDOW), { { u"QT_QPA_PLATFORM"_s, u"wayland"_s } });
    ASSERT_EQ(target.ask({}, "ready"), "ready");
    ASSERT_EQ(target.ask("open one 0 0", "opened one"), "opened one");
    const auto captured = captureWhen(inserter, [&](const auto &t) { return t.applicationPID == target.pid(); });
    ASSERT_TRUE(captured);
    const QString text = u"Прямо в поле, без клавиш 🙂"_s;
    EXPECT_EQ(QCoro::waitFor(inserter.insert(text, captured)), TextInsertionOutcome::inserted());
    EXPECT_EQ(target.text("one"), text);
}

// With the grant Ctrl+V goes through KWin as key codes: Cyrillic arrives exactly in a native Qt
// field and a GTK entry, the focus stays in the target, and the user's clipboard comes back.
TEST_F(KdeSessionTest, WithTheGrantPastesExactlyAndGivesTheClipboardBack)
{
    grant();
    // KWin looks at changed .desktop files at most every second or two: a connection made later gets it.
    std::unique_ptr<WaylandConnection> granted;
    std::unique_ptr<WaylandClipboard> grantedClipboard;
    std::unique_ptr<FakeInputKeystrokeSender> keys;
    ASSERT_TRUE(TestUtil::runUntil(
        [&] {
            keys.reset(), grantedClipboard.reset();
            granted = std::make_unique<WaylandConnection>();
            grantedClipboard = std::make_unique<WaylandClipboard>(*granted);
            keys = std::make_unique<FakeInputKeystrokeSender>(*granted, *grantedClipboard);
            return keys->isAvailable();
        },
        10s));
    EXPECT_EQ(keys->unavailableReason(), QString());
    TextInserter inserter(backend, *grantedClipboard, *keys);
    TargetCapture capture(backend);

    const ClipboardSnapshot user { { { { u"text/plain"_s, "что было у пользователя" } } } };
    clipboard.restore(user);
    ASSERT_TRUE(TestUtil::runUntil([&] { return grantedClipboard->snapshot() == user; }, 5s));

    // GTK may miss the confirmation reads on a loaded machine; saying so is honest, the text must still be exact.
    const std::tuple<QString, QHash<QString, QString>, bool> targets[]
        = { { QStringLiteral(INSERTION_TARGET_WINDOW), { { u"QT_QPA_PLATFORM"_s, u"wayland"_s } }, false },
              { QStringLiteral(GTK_TARGET_WINDOW), { { u"GDK_BACKEND"_s, u"wayland"_s } }, true } };
    for (const auto &[program, environment, mayMissTheReads] : targets) {
        SCOPED_TRACE(program.toStdString());
        TargetApplication target(program, environment);
        if (target.ask({}, "ready") != "ready")
            GTEST_SKIP() << "needs python3-gi and gir1.2-gtk-3.0";
        ASSERT_EQ(target.ask("open one 0 0", "opened one"), "opened one");
        const auto captured = captureWhen(inserter, [&](const auto &t) { return t.applicationPID == target.pid(); });
        ASSERT_TRUE(captured);
        const QString text
            = u"Съешь ещё этих мягких французских булок, да выпей чаю 🙂"_s;
        const StallMeter meter;
        const TextInsertionOutcome outcome = QCoro::waitFor(inserter.insert(text, captured));
        EXPECT_LT(meter.longestMilliseconds(), StallMeter::limitMilliseconds);
        EXPECT_TRUE(outcome == TextInsertionOutcome::inserted()
            || (mayMissTheReads && outcome == TextInsertionOutcome::unconfirmed()));
        EXPECT_EQ(target.text("one"), text);
        const auto after = captureWhen(inserter, [](const auto &) { return true; });
        ASSERT_TRUE(after);
        EXPECT_EQ(after->applicationPID, target.pid());
        EXPECT_TRUE(capture.windowsMatch(*captured, *after));
        EXPECT_TRUE(backend.isSameObject(after->focusedElement, captured->focusedElement));
        EXPECT_TRUE(
            TestUtil::runUntil([&] { return clipboard.snapshot() == user; }, ClipboardPaste::restoreDelay + 3s));
    }
}

// Each window keeps its number whichever comes to the front, and KWin's own names are reported;
// the second window titled alike is not "Vorsik target <2>".
TEST_F(KdeSessionTest, KWinTellsWhichWindowIsInFrontByANumberThatStaysWithIt)
{
    KWinActiveWindow kwin(QDBusConnection::sessionBus());
    TargetApplication qt(QStringLiteral(INSERTION_TARGET_WINDOW), { { u"QT_QPA_PLATFORM"_s, u"wayland"_s } });
    TargetApplication gtk(QStringLiteral(GTK_TARGET_WINDOW), { { u"GDK_BACKEND"_s, u"wayland"_s } });
    ASSERT_EQ(qt.ask({}, "ready"), "ready");
    if (gtk.ask({}, "ready") != "ready")
        GTEST_SKIP() << "needs python3-gi and gir1.2-gtk-3.0";
    ASSERT_EQ(qt.ask("open one 0 0", "opened one"), "opened one");
    ASSERT_EQ(gtk.ask("open one 0 0", "opened one"), "opened one");

    const std::pair<TargetApplication *, QString> rows[]
        = { { &qt, u"insertiontargetwindow"_s }, { &gtk, u"gtktargetwindow.py"_s } };
    std::map<qint32, qint64> numbers;
    for (int round = 0; round < 2; ++round) {
        for (const auto &[target, appId] : rows) {
            SCOPED_TRACE(appId.toStdString());
            activate(target->pid());
            std::optional<ActiveWindowSource::Window> front;
            ASSERT_TRUE(TestUtil::runUntil(
                [&] { return (front = kwin.activeWindow()) && front->processIdentifier == target->pid(); }, 10s));
            EXPECT_EQ(front->title, u"Vorsik target"_s);
            EXPECT_TRUE(front->appId.split(u'\n').contains(appId)) << front->appId.toStdString();
            EXPECT_EQ(numbers.try_emplace(target->pid(), front->id).first->second, front->id);
        }
    }
    EXPECT_NE(numbers.at(qt.pid()), numbers.at(gtk.pid()));
    EXPECT_TRUE(scriptLoaded(kwin.pluginName()));
}

// A window whose program is not on the accessibility bus (GTK without its bridge) is told by
// KWin's number alone: the target captured in one window is reported changed while another of
// the same program is in front, and matches again once it is back.
TEST_F(KdeSessionTest, AWindowWithoutAccessibilityIsKnownByKWinsNumber)
{
    TargetApplication gtk(
        QStringLiteral(GTK_TARGET_WINDOW), { { u"GDK_BACKEND"_s, u"wayland"_s }, { u"NO_AT_BRIDGE"_s, u"1"_s } });
    if (gtk.ask({}, "ready") != "ready")
        GTEST_SKIP() << "needs python3-gi and gir1.2-gtk-3.0";
    ASSERT_EQ(gtk.ask("open one 0 0", "opened one"), "opened one");
    TargetCapture capture(backend);
    std::optional<TextInsertionTarget> fresh;
    const auto captureWhen = [&](const std::function<bool(const TextInsertionTarget &)> &wanted) {
        return TestUtil::runUntil(
            [&] {
                fresh = capture.captureTarget();
                return fresh && fresh->applicationPID == gtk.pid() && fresh->windowLevel && wanted(*fresh);
            },
            20s);
    };
    ASSERT_TRUE(captureWhen([](const auto &t) { return t.windowFingerprint.windowId.has_value(); }));
    const TextInsertionTarget one = *fresh;
    EXPECT_EQ(one.windowFingerprint.title, u"Vorsik target"_s);
    const auto isOne = [&](const TextInsertionTarget &t) { return capture.windowsMatch(one, t); };

    ASSERT_EQ(gtk.ask("open two 0 0", "opened two"), "opened two");
    ASSERT_TRUE(captureWhen(std::not_fn(isOne)));
    EXPECT_EQ(capture.changeReason(one, fresh), TargetCapture::otherWindowReason);
    EXPECT_NE(fresh->windowFingerprint.windowId, one.windowFingerprint.windowId);

    activate(gtk.pid());
    ASSERT_TRUE(captureWhen(isOne));
    EXPECT_EQ(capture.changeReason(one, fresh), std::nullopt);
}
