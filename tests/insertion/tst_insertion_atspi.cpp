// The insertion path against the real services of a headless desktop: Xvfb, the
// accessibility bus and a Qt application that the tests paste into.
#include "accessibilitypermission.h"
#include "insertiontargetapplication.h"
#include "atspiaccessibilitybackend.h"
#include "qtclipboard.h"
#include "testutil.h"
#include "textinserter.h"
#include "xtestkeystrokesender.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QTemporaryDir>

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
    QDBusMessage set = QDBusMessage::createMethodCall(u"org.a11y.Bus"_s, u"/org/a11y/bus"_s,
                                                      u"org.freedesktop.DBus.Properties"_s, u"Set"_s);
    set << u"org.a11y.Status"_s << u"IsEnabled"_s << QVariant::fromValue(QDBusVariant(enabled));
    QDBusConnection::sessionBus().call(set, QDBus::Block, 5000);
}

class InsertionIntegrationTest : public ::testing::Test
{
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
    EXPECT_EQ(textAttribute(*backend, captured->focusedElement, AccessibilityAttribute::role), u"text"_s);

    // A backend that saw no focus event finds the same field by searching the window.
    AtspiAccessibilityBackend late(permission);
    const std::optional<TextInsertionTarget> again = TargetCapture(late).captureTarget();
    ASSERT_TRUE(again && again->focusedElement);
    EXPECT_EQ(again->windowFingerprint.number, window.number);
    EXPECT_TRUE(late.isSameObject(again->focusedElement, captured->focusedElement));
}

TEST_F(InsertionIntegrationTest, PastesCyrillicTextAndRestoresTheClipboardUnlessSomeoneCopied)
{
    target->copy("earlier text", "<p>earlier <b>text</b></p>");
    EXPECT_EQ(clipboard.snapshot().items.value(0).keys(), (QStringList{u"text/html"_s, u"text/plain"_s}));
    const std::optional<TextInsertionTarget> captured = captureOf(*target);
    ASSERT_TRUE(captured);
    const QString text = u"Привет, мир! Съешь же ещё этих мягких французских булок."_s;
    EXPECT_EQ(insert(text, captured), TextInsertionOutcome::inserted());
    EXPECT_EQ(target->text("one"), text);
    TestUtil::runFor(TextInserter::restoreDelay + 500ms);
    EXPECT_EQ(target->clipboard(), std::make_pair(QByteArray("earlier text"), QByteArray("<p>earlier <b>text</b></p>")));

    EXPECT_EQ(insert(u"Текст"_s, captured), TextInsertionOutcome::inserted());
    target->copy("newer", "<i>newer</i>");
    TestUtil::runFor(TextInserter::restoreDelay + 500ms);
    EXPECT_EQ(target->clipboard(), std::make_pair(QByteArray("newer"), QByteArray("<i>newer</i>")));

    // An empty clipboard is empty again afterwards.
    clipboard.restore(ClipboardSnapshot{});
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

TEST_F(InsertionIntegrationTest, VanishedApplicationLeavesStaleElementsThatReadAsAbsent)
{
    const std::optional<TextInsertionTarget> captured = captureOf(*target);
    ASSERT_TRUE(captured);
    target->killNow();
    TestUtil::runFor(300ms);
    const WindowFingerprint stale = TargetCapture(*backend).fingerprint(captured->window);
    EXPECT_FALSE(stale.title || stale.role || stale.frame || stale.number);
    EXPECT_EQ(insert(u"Текст"_s, captured),
              TextInsertionOutcome::targetChanged(u"Не удалось определить текущее окно с курсором."_s));
}

TEST_F(InsertionIntegrationTest, HungApplicationDoesNotFreezeTheCapture)
{
    ASSERT_TRUE(captureOf(*target));
    ::kill(pid_t(target->pid()), SIGSTOP);
    QElapsedTimer elapsed;
    elapsed.start();
    for (int i = 0; i < 5; ++i)
        QCoro::waitFor(inserter->captureTarget());
    // Five captures of a stopped application: the first pays one call time-out, the rest none.
    EXPECT_LT(elapsed.elapsed(), 10'000);
    ::kill(pid_t(target->pid()), SIGCONT);
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
