// The Wayland paste path against a real compositor (scripts/wayland-session): native Wayland
// Qt and GTK fields, the user's clipboard held by other programs, and the window in front.
#include "insertion/atspi/accessibilitypermission.h"
#include "insertion/atspi/atspiaccessibilitybackend.h"
#include "insertion/textinserter.h"
#include "insertion/wayland/waylandkeystrokesender.h"
#include "insertiontargetapplication.h"
#include "platform/wayland/waylandclipboard.h"
#include "platform/wayland/waylandconnection.h"
#include "testutil.h"

#include <QApplication>
#include <QBuffer>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <functional>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

class WaylandSessionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!qEnvironmentVariableIsSet("VERBULO_WAYLAND_SESSION"))
            GTEST_SKIP() << "needs scripts/wayland-session";
        ASSERT_TRUE(connection.isAlive() && clipboard.isAvailable() && keys.isAvailable());
        permission.enableBus();
        ASSERT_TRUE(TestUtil::runUntil([&] { return permission.isBusEnabled(); }, 10s));
    }

    std::optional<TextInsertionTarget> captureWhen(const std::function<bool(const TextInsertionTarget &)> &wanted)
    {
        std::optional<TextInsertionTarget> captured;
        const auto found = [&] {
            captured = QCoro::waitFor(inserter.captureTarget());
            return captured && captured->focusedElement && wanted(*captured);
        };
        return TestUtil::runUntil(found, 20s) ? captured : std::nullopt;
    }

    WaylandConnection connection;
    WaylandClipboard clipboard { connection };
    WaylandKeystrokeSender keys { connection, clipboard };
    AccessibilityPermission permission;
    AtspiAccessibilityBackend backend { permission };
    TextInserter inserter { backend, clipboard, keys };
    // Another client's view of the clipboard: what it reads comes through the compositor.
    WaylandConnection observerConnection;
    WaylandClipboard observer { observerConnection };
};

} // namespace

// The Qt field takes its text in the test of the window in front below.
TEST_F(WaylandSessionTest, PastesExactlyIntoTheNativeGtkFieldAndGivesTheClipboardBack)
{
    TargetApplication target(QStringLiteral(GTK_TARGET_WINDOW), { { u"GDK_BACKEND"_s, u"wayland"_s } });
    if (target.ask({}, "ready") != "ready")
        GTEST_SKIP() << "needs python3-gi and gir1.2-gtk-3.0";
    ASSERT_EQ(target.ask("open one 0 0", "opened one"), "opened one");

    // The user's clipboard holds an image that belongs to another program, which holds on to it.
    if (QStandardPaths::findExecutable(u"wl-copy"_s).isEmpty())
        GTEST_SKIP() << "needs wl-clipboard";
    QByteArray contents;
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QBuffer buffer(&contents);
    image.save(&buffer, "PNG");
    QProcess wlCopy;
    wlCopy.start(u"wl-copy"_s, { u"--foreground"_s, u"--type"_s, u"image/png"_s });
    wlCopy.write(contents);
    wlCopy.closeWriteChannel();
    std::optional<ClipboardSnapshot> before;
    const auto held
        = [&] { return (before = observer.snapshot()) && before->items.value(0).value(u"image/png"_s) == contents; };
    ASSERT_TRUE(TestUtil::runUntil(held, 10s));

    const auto captured = captureWhen([&](const auto &t) { return t.applicationPID == target.pid(); });
    ASSERT_TRUE(captured);
    const QString text = u"Привет, Wayland! Съешь ещё 🙂"_s;
    const TextInsertionOutcome outcome = QCoro::waitFor(inserter.insert(text, captured));
    // GTK may miss the confirmation reads on a loaded machine; saying so is honest, the text must still be exact.
    EXPECT_TRUE(outcome == TextInsertionOutcome::inserted() || outcome == TextInsertionOutcome::unconfirmed());
    EXPECT_EQ(target.text("one"), text);

    TestUtil::runFor(ClipboardPaste::restoreDelay + 500ms);
    EXPECT_EQ(observer.snapshot(), before);
    wlCopy.kill();
    wlCopy.waitForFinished();
}

// What is put back is this program's copy: it is served while the program runs and goes with it,
// leaving the clipboard empty, never with the dictated text.
TEST_F(WaylandSessionTest, AClipboardPutBackGoesWithTheProgram)
{
    const ClipboardSnapshot user { { { { u"text/plain"_s, "earlier" } } } };
    {
        WaylandConnection program;
        WaylandClipboard programClipboard(program);
        programClipboard.setText(u"Диктовка"_s);
        programClipboard.restore(user);
        ASSERT_TRUE(TestUtil::runUntil([&] { return observer.snapshot() == user; }, 5s));
    }
    EXPECT_TRUE(TestUtil::runUntil([&] { return observer.snapshot() == ClipboardSnapshot(); }, 5s));
}

// sway tiles a second window beside the first and so moves it: only the compositor's own number
// for the window tells that the first one is back in front.
TEST_F(WaylandSessionTest, TheWindowInFrontIsKnownByTheCompositorsNumberNotByItsPlace)
{
    if (QStandardPaths::findExecutable(u"swaymsg"_s).isEmpty())
        GTEST_SKIP() << "needs swaymsg";
    TargetApplication target(QStringLiteral(INSERTION_TARGET_WINDOW), { { u"QT_QPA_PLATFORM"_s, u"wayland"_s } });
    ASSERT_EQ(target.ask({}, "ready"), "ready");
    ASSERT_EQ(target.ask("open one 0 0", "opened one"), "opened one");
    const auto one = captureWhen([](const auto &t) { return t.windowFingerprint.windowId.has_value(); });
    ASSERT_TRUE(one);
    const auto isOne
        = [&](const TextInsertionTarget &t) { return t.windowFingerprint.windowId == one->windowFingerprint.windowId; };

    ASSERT_EQ(target.ask("open two 0 0 digits", "opened two"), "opened two");
    const auto two = captureWhen(std::not_fn(isOne));
    ASSERT_TRUE(two);
    const QString text = u"Текст для первого окна 🙂"_s;
    // Its field's validator refuses the text: the same window still in front is no sign that it arrived.
    EXPECT_EQ(QCoro::waitFor(inserter.insert(text, two)), TextInsertionOutcome::unconfirmed());
    EXPECT_EQ(QCoro::waitFor(inserter.insert(text, one)),
        TextInsertionOutcome::targetChanged(TargetCapture::otherWindowReason));

    ASSERT_EQ(QProcess::execute(u"swaymsg"_s, { u"focus"_s, u"left"_s }), 0);
    const auto back = captureWhen(isOne);
    ASSERT_TRUE(back && back->windowFingerprint.frame && one->windowFingerprint.frame);
    ASSERT_FALSE(TargetCapture::approximatelyEqual(*back->windowFingerprint.frame, *one->windowFingerprint.frame));
    EXPECT_EQ(QCoro::waitFor(inserter.insert(text, one)), TextInsertionOutcome::inserted());
    EXPECT_EQ(target.text("one"), text);
    EXPECT_EQ(target.text("two"), QString());
}
