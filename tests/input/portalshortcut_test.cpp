// The desktop's shortcut portal as a trigger: on a session bus without the portal, and on a private
// bus with a stand-in portal (tests/input/portalstandin.py) that binds the shortcut and presses it.
#include "../app/privatebus.h"
#include "input/fnkeymonitor.h"
#include "input/portal/portalshortcutsource.h"
#include "testutil.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

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

// Pressing and releasing the bound shortcut acts as Fn; a portal that goes while it is held
// leaves no key held down.
TEST(PortalShortcutTest, TheBoundShortcutActsAsFnAndAPortalThatGoesReleasesIt)
{
    if (QProcess::execute(u"/usr/bin/python3"_s, { u"-c"_s, u"import dbus, gi"_s }) != 0)
        GTEST_SKIP() << "needs python3-dbus and python3-gi";
    PrivateBus bus;
    QProcess portal;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, bus.address());
    portal.setProcessEnvironment(environment);
    portal.start(u"/usr/bin/python3"_s, { QStringLiteral(PORTAL_STAND_IN) });
    ASSERT_TRUE(TestUtil::runUntil(
        [&] { return portal.canReadLine() && portal.readLine() == "ready\n"; }, std::chrono::seconds(10)));

    int actions = 0;
    FnKeyMonitor monitor([&] { ++actions; });
    monitor.addSource(std::make_unique<PortalShortcutSource>(QDBusConnection::connectToBus(bus.address(), u"p"_s)));
    ASSERT_TRUE(TestUtil::runUntil([&] { return monitor.trigger() == DictationTrigger::desktopShortcut; }));
    for (const bool down : { true, false, true }) {
        portal.write(down ? "press\n" : "release\n");
        EXPECT_TRUE(TestUtil::runUntil([&] { return monitor.fnIsDown() == down; }));
    }
    EXPECT_EQ(actions, 2);
    portal.kill();
    portal.waitForFinished();
    EXPECT_TRUE(TestUtil::runUntil([&] { return !monitor.fnIsDown(); }) && actions == 2);
}
