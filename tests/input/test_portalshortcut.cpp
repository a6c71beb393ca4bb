// The desktop's shortcut portal as a trigger, on a session bus without the portal.
#include "fnkeymonitor.h"
#include "portalshortcutsource.h"
#include "testutil.h"

#include <gtest/gtest.h>

TEST(PortalShortcutTest, WithoutThePortalTheToggleCommandIsLeftAndTheUserTold)
{
    if (!qEnvironmentVariableIsSet("VERBULO_HEADLESS_SESSION"))
        GTEST_SKIP() << "needs the session bus of scripts/headless-session";
    FnKeyMonitor monitor({});
    int told = 0;
    QObject::connect(&monitor, &FnKeyMonitor::keyboardUnavailable, [&] { ++told; });
    monitor.addSource(std::make_unique<PortalShortcutSource>());
    EXPECT_TRUE(TestUtil::runUntil([&] { return monitor.trigger() == DictationTrigger::toggleCommand; }));
    EXPECT_EQ(told, 1);
}
