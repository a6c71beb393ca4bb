// The paste path on a real GNOME compositor (scripts/gnome-session, this process a Wayland client of
// mutter): no data control and no virtual keyboard, so the text goes straight into the field over the
// accessibility bus.
#include "insertion/atspi/accessibilitypermission.h"
#include "insertion/atspi/atspiaccessibilitybackend.h"
#include "insertion/pastepath.h"
#include "insertion/textinserter.h"
#include "insertiontargetapplication.h"
#include "stallmeter.h"
#include "testutil.h"

#include <QGuiApplication>

#include <gtest/gtest.h>

#include <tuple>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

// Cyrillic arrives exactly in a native Wayland Qt field and a GTK entry, whatever the keyboard
// layout, the focus stays in the target and the clipboard is never touched.
TEST(GnomeSessionTest, TheTextGoesStraightIntoTheFieldWithoutClipboardOrKeys)
{
    if (!qEnvironmentVariableIsSet("VERBULO_GNOME_SESSION") || QGuiApplication::platformName() != u"wayland"_s)
        GTEST_SKIP() << "needs scripts/gnome-session and QT_QPA_PLATFORM=wayland";
    PastePath path = makePastePath();
    AccessibilityPermission permission;
    AtspiAccessibilityBackend backend(permission);
    TextInserter inserter(backend, *path.clipboard, *path.keystrokes);
    TargetCapture capture(backend);
    permission.enableBus();
    ASSERT_TRUE(TestUtil::runUntil([&] { return permission.isBusEnabled(); }, 10s));
    const quint64 clipboardChanges = path.clipboard->changeCount();

    const std::tuple<QString, QHash<QString, QString>> targets[]
        = { { QStringLiteral(INSERTION_TARGET_WINDOW), { { u"QT_QPA_PLATFORM"_s, u"wayland"_s } } },
              { QStringLiteral(GTK_TARGET_WINDOW), { { u"GDK_BACKEND"_s, u"wayland"_s } } } };
    for (const auto &[program, environment] : targets) {
        SCOPED_TRACE(program.toStdString());
        TargetApplication target(program, environment);
        ASSERT_EQ(target.ask({}, "ready"), "ready");
        ASSERT_EQ(target.ask("open one 0 0", "opened one"), "opened one");
        std::optional<TextInsertionTarget> captured;
        const auto capturedWhen = [&](const std::function<bool(const TextInsertionTarget &)> &wanted) {
            return TestUtil::runUntil(
                [&] { return (captured = QCoro::waitFor(inserter.captureTarget())) && wanted(*captured); }, 20s);
        };
        ASSERT_TRUE(capturedWhen([&](const auto &t) { return t.applicationPID == target.pid() && t.focusedElement; }));
        EXPECT_FALSE(path.keystrokes->reaches(*captured));
        const QString text = u"Съешь ещё этих мягких французских булок 🙂"_s;
        const std::optional<TextInsertionTarget> before = captured;
        const StallMeter meter;
        EXPECT_EQ(QCoro::waitFor(inserter.insert(text, before)), TextInsertionOutcome::inserted());
        EXPECT_LT(meter.longestMilliseconds(), StallMeter::limitMilliseconds);
        EXPECT_EQ(target.text("one"), text);
        ASSERT_TRUE(capturedWhen([](const auto &) { return true; }));
        EXPECT_EQ(captured->applicationPID, target.pid());
        EXPECT_TRUE(capture.windowsMatch(*before, *captured));
        EXPECT_TRUE(backend.isSameObject(before->focusedElement, captured->focusedElement));
    }
    EXPECT_EQ(path.clipboard->changeCount(), clipboardChanges);
}
