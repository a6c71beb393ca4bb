// The desktop's shortcut portal as a trigger, against a stand-in portal on the session bus.
#include "fnkeymonitor.h"
#include "insertiontargetapplication.h"
#include "portalshortcutsource.h"
#include "testutil.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

class PortalShortcutTest : public ::testing::TestWithParam<bool> { };

TEST_P(PortalShortcutTest, EachPressOfTheBoundShortcutIsOneFnPressAndNoPortalBindsNothing)
{
    if (!qEnvironmentVariableIsSet("VERBULO_HEADLESS_SESSION"))
        GTEST_SKIP() << "needs the session bus of scripts/headless-session";
    const bool portal = GetParam();
    std::optional<TargetApplication> standIn;
    if (portal) {
        standIn.emplace(QStringLiteral(PORTAL_STAND_IN));
        ASSERT_EQ(standIn->ask({}, "ready"), "ready");
    }
    int presses = 0;
    FnKeyMonitor monitor([&] { ++presses; });
    auto source = std::make_unique<PortalShortcutSource>();
    PortalShortcutSource *shortcuts = source.get();
    bool bound = false;
    QObject::connect(shortcuts, &PortalShortcutSource::bound, [&] { bound = true; });
    monitor.addSource(std::move(source));
    if (!portal) {
        TestUtil::runFor(500ms);
        EXPECT_FALSE(bound || shortcuts->isBound());
        return;
    }
    ASSERT_EQ(standIn->ask({}, "bound"), "bound dictation");
    ASSERT_TRUE(TestUtil::runUntil([&] { return bound && shortcuts->isBound(); }));
    for (int i = 1; i <= 2; ++i) {
        ASSERT_EQ(standIn->ask("press", "pressed"), "pressed");
        EXPECT_TRUE(TestUtil::runUntil([&] { return presses == i; }));
    }
    TestUtil::runFor(200ms);
    EXPECT_EQ(presses, 2);
    EXPECT_FALSE(monitor.fnIsDown());
}

INSTANTIATE_TEST_SUITE_P(Desktops, PortalShortcutTest, ::testing::Bool(),
    [](const ::testing::TestParamInfo<bool> &info) { return info.param ? "Portal" : "NoPortal"; });
