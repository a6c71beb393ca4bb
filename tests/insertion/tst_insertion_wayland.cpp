// The Wayland paste path against a real compositor (scripts/wayland-session): native Wayland
// Qt and GTK fields, the user's clipboard held by other programs, and compositors that fail.
#include "accessibilitypermission.h"
#include "atspiaccessibilitybackend.h"
#include "insertiontargetapplication.h"
#include "testutil.h"
#include "textinserter.h"
#include "waylandclipboard.h"
#include "waylandconnection.h"
#include "waylandkeystrokesender.h"

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QImage>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <thread>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

struct PasteCase {
    const char *name;
    const char *program;
    const char *format; // of what the user has on the clipboard
    // GTK may miss the confirmation reads on a loaded machine; saying so is honest, the text must still be exact.
    bool mayBeUnconfirmed;
};

void PrintTo(const PasteCase &c, std::ostream *out) { *out << c.name; }

class WaylandSessionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!qEnvironmentVariableIsSet("VERBULO_WAYLAND_SESSION"))
            GTEST_SKIP() << "needs scripts/wayland-session";
        ASSERT_TRUE(connection.isAlive() && clipboard.isAvailable() && keys.isAvailable());
        permission.requestTrust();
        ASSERT_TRUE(TestUtil::runUntil([&] { return permission.isTrusted(); }, 10s));
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

class WaylandPasteTest : public WaylandSessionTest, public ::testing::WithParamInterface<PasteCase> { };

} // namespace

TEST_P(WaylandPasteTest, PastesExactlyIntoTheNativeFieldAndGivesTheClipboardBack)
{
    const PasteCase &c = GetParam();
    TargetApplication target(
        QString::fromUtf8(c.program), { { u"QT_QPA_PLATFORM"_s, u"wayland"_s }, { u"GDK_BACKEND"_s, u"wayland"_s } });
    if (target.ask({}, "ready") != "ready")
        GTEST_SKIP() << "cannot start " << c.program;
    ASSERT_EQ(target.ask("open one 0 0", "opened one"), "opened one");

    // The user's clipboard belongs to another program that holds on to it.
    if (QStandardPaths::findExecutable(u"wl-copy"_s).isEmpty())
        GTEST_SKIP() << "needs wl-clipboard";
    QByteArray contents = "earlier text";
    if (std::string_view(c.format) == "image/png") {
        QImage image(64, 48, QImage::Format_RGB32);
        image.fill(Qt::darkCyan);
        QBuffer buffer(&contents);
        image.save(&buffer, "PNG");
    }
    QProcess wlCopy;
    wlCopy.start(u"wl-copy"_s, { u"--foreground"_s, u"--type"_s, QString::fromUtf8(c.format) });
    wlCopy.write(contents);
    wlCopy.closeWriteChannel();
    std::optional<ClipboardSnapshot> before;
    const auto held = [&] {
        return (before = observer.snapshot()) && before->items.value(0).value(QString::fromUtf8(c.format)) == contents;
    };
    ASSERT_TRUE(TestUtil::runUntil(held, 10s));

    const auto captured = captureWhen([&](const auto &t) { return t.applicationPID == target.pid(); });
    ASSERT_TRUE(captured);
    const QString text = u"Привет, Wayland! Съешь ещё 🙂"_s;
    const TextInsertionOutcome outcome = QCoro::waitFor(inserter.insert(text, captured));
    EXPECT_TRUE(outcome == TextInsertionOutcome::inserted()
        || (c.mayBeUnconfirmed && outcome == TextInsertionOutcome::unconfirmed()));
    EXPECT_EQ(target.text("one"), text);

    TestUtil::runFor(TextInserter::restoreDelay + 500ms);
    EXPECT_EQ(observer.snapshot(), before);
    wlCopy.kill();
    wlCopy.waitForFinished();
}

INSTANTIATE_TEST_SUITE_P(Toolkits, WaylandPasteTest,
    ::testing::Values(PasteCase { "Qt", INSERTION_TARGET_WINDOW, "text/plain", false },
        PasteCase { "Gtk", GTK_TARGET_WINDOW, "image/png", true }),
    [](const ::testing::TestParamInfo<PasteCase> &info) { return std::string(info.param.name); });

// sway tiles a second window beside the first and so moves it: only the compositor's own number
// for the window tells that the first one is back in front.
TEST_F(WaylandSessionTest, TheWindowInFrontIsKnownByTheCompositorsNumberNotByItsPlace)
{
    if (QStandardPaths::findExecutable(u"swaymsg"_s).isEmpty())
        GTEST_SKIP() << "needs swaymsg";
    TargetApplication target(QStringLiteral(INSERTION_TARGET_WINDOW), { { u"QT_QPA_PLATFORM"_s, u"wayland"_s } });
    ASSERT_EQ(target.ask({}, "ready"), "ready");
    ASSERT_EQ(target.ask("open one 0 0", "opened one"), "opened one");
    const auto one = captureWhen([](const auto &t) { return t.windowFingerprint.number.has_value(); });
    ASSERT_TRUE(one);
    const auto isOne
        = [&](const TextInsertionTarget &t) { return t.windowFingerprint.number == one->windowFingerprint.number; };

    ASSERT_EQ(target.ask("open two 0 0", "opened two"), "opened two");
    ASSERT_TRUE(captureWhen(std::not_fn(isOne)));
    const QString text = u"Текст для первого окна"_s;
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

// A compositor that never answers or hangs up at once: every part says so quickly, none waits or crashes.
class BrokenCompositorTest : public ::testing::TestWithParam<bool> { };

TEST_P(BrokenCompositorTest, EveryPartRefusesQuickly)
{
    const bool hangsUp = GetParam();
    QTemporaryDir directory;
    QLocalServer server;
    ASSERT_TRUE(server.listen(directory.filePath(u"wayland-broken"_s)));
    QObject::connect(&server, &QLocalServer::newConnection, &server, [&] {
        QLocalSocket *socket = server.nextPendingConnection();
        if (hangsUp)
            socket->abort();
    });
    const QByteArray previous = qgetenv("WAYLAND_DISPLAY");
    qputenv("WAYLAND_DISPLAY", server.fullServerName().toUtf8());
    QElapsedTimer elapsed;
    elapsed.start();
    // The server answers on this thread's event loop while the connection is being made.
    std::unique_ptr<WaylandConnection> connection;
    std::thread connecting([&] { connection = std::make_unique<WaylandConnection>(300ms); });
    TestUtil::runFor(400ms);
    connecting.join();
    qputenv("WAYLAND_DISPLAY", previous);
    ASSERT_TRUE(connection);
    WaylandClipboard clipboard(*connection);
    WaylandKeystrokeSender keys(*connection, clipboard);
    clipboard.setText(u"Текст"_s);
    EXPECT_FALSE(connection->isAlive());
    EXPECT_EQ(clipboard.snapshot(), std::nullopt);
    EXPECT_FALSE(keys.reaches({}));
    EXPECT_FALSE(keys.sendPaste(PasteShortcut::controlV));
    EXPECT_LT(elapsed.elapsed(), 2000);
}

INSTANTIATE_TEST_SUITE_P(Ways, BrokenCompositorTest, ::testing::Values(false, true),
    [](const ::testing::TestParamInfo<bool> &info) { return info.param ? "HangsUp" : "Silent"; });

int main(int argc, char *argv[])
{
    QTemporaryDir configHome;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome.path()));
    // This program shows nothing: its clipboard and keys go through a connection of its own.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
