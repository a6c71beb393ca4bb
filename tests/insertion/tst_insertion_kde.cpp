// The paste path on a real KDE Plasma compositor (scripts/kde-session): KWin's fake input, which
// it grants only through an installed .desktop file, into native Wayland Qt and GTK fields.
#include "accessibilitypermission.h"
#include "atspiaccessibilitybackend.h"
#include "fakeinputkeystrokesender.h"
#include "insertiontargetapplication.h"
#include "testutil.h"
#include "textinserter.h"
#include "waylandclipboard.h"
#include "waylandconnection.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <functional>

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
        permission.requestTrust();
        ASSERT_TRUE(TestUtil::runUntil([&] { return permission.isTrusted(); }, 10s));
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
        const TextInsertionOutcome outcome = QCoro::waitFor(inserter.insert(text, captured));
        EXPECT_TRUE(outcome == TextInsertionOutcome::inserted()
            || (mayMissTheReads && outcome == TextInsertionOutcome::unconfirmed()));
        EXPECT_EQ(target.text("one"), text);
        const auto after = captureWhen(inserter, [](const auto &) { return true; });
        ASSERT_TRUE(after);
        EXPECT_EQ(after->applicationPID, target.pid());
        EXPECT_TRUE(capture.windowsMatch(*captured, *after));
        EXPECT_TRUE(backend.isSameObject(after->focusedElement, captured->focusedElement));
        EXPECT_TRUE(TestUtil::runUntil([&] { return clipboard.snapshot() == user; }, TextInserter::restoreDelay + 3s));
    }
}
