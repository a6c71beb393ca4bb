#include "fnkeymonitor.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// 'D': a source saw Fn held (a press, or another key changing while Fn stays down);
// 'U': a source saw Fn up (a release, or another key alone).
struct EdgeCase {
    const char *name;
    std::string states;
    int actions;
    bool heldAtEnd;
};

void PrintTo(const EdgeCase &c, std::ostream *out) { *out << c.states; }

class FnEdgeRule : public ::testing::TestWithParam<EdgeCase> { };

TEST_P(FnEdgeRule, OneActionPerPressNoneOnRelease)
{
    const EdgeCase &c = GetParam();
    int actions = 0;
    FnKeyMonitor monitor([&actions] { ++actions; });
    for (const char state : c.states)
        monitor.handleFnState(state == 'D');
    EXPECT_EQ(actions, c.actions);
    EXPECT_EQ(monitor.fnIsDown(), c.heldAtEnd);
}

INSTANTIATE_TEST_SUITE_P(Sequences, FnEdgeRule,
    ::testing::Values(EdgeCase { "PressShiftWhileHeldRelease", "DDDU", 1, false },
        EdgeCase { "PressReleaseTwice", "DUDU", 2, false }, EdgeCase { "OtherKeyAloneChangesNothing", "U", 0, false },
        EdgeCase { "PressAndHold", "D", 1, true }, EdgeCase { "ReleaseReportedTwice", "DUU", 1, false },
        EdgeCase { "OtherKeyThenPress", "UD", 1, true }, EdgeCase { "ThreePressesWithNoise", "DDUUDUDDU", 3, false }),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
