#include "fnkeymonitor.h"

#include <gtest/gtest.h>

#include <optional>
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

class ScriptedSource final : public FnKeySource {
public:
    explicit ScriptedSource(Kind kind)
        : m_kind(kind)
    {
    }
    void start() override { }
    Kind kind() const override { return m_kind; }
    void answer(char how)
    {
        how == 'o' ? Q_EMIT observing() : Q_EMIT unavailable(m_kind == Kind::fnKey ? u"E"_qs : QString());
    }

private:
    Kind m_kind;
};

// Steps: 'P' (the portal's shortcut) or 'E' (the keyboards), then 'o' observing or 'u' unavailable.
struct TriggerCase {
    const char *name;
    std::string steps;
    std::optional<DictationTrigger> trigger;
    bool told;
};

void PrintTo(const TriggerCase &c, std::ostream *out) { *out << c.steps; }

class TriggerRule : public ::testing::TestWithParam<TriggerCase> { };

TEST_P(TriggerRule, NamesTheTriggerAndTellsOfNoneOnlyOnceAllAnswered)
{
    FnKeyMonitor monitor({});
    auto *portal = new ScriptedSource(FnKeySource::Kind::desktopShortcut);
    auto *keyboards = new ScriptedSource(FnKeySource::Kind::fnKey);
    monitor.addSource(std::unique_ptr<FnKeySource>(portal));
    monitor.addSource(std::unique_ptr<FnKeySource>(keyboards));
    QStringList told;
    QObject::connect(&monitor, &FnKeyMonitor::keyboardUnavailable, [&](const QString &text) { told.append(text); });
    const std::string &steps = GetParam().steps;
    for (size_t i = 0; i < steps.size(); i += 2)
        (steps[i] == 'P' ? portal : keyboards)->answer(steps[i + 1]);
    EXPECT_EQ(monitor.trigger(), GetParam().trigger);
    EXPECT_EQ(told, GetParam().told ? QStringList { u"E"_qs } : QStringList());
}

INSTANTIATE_TEST_SUITE_P(Sources, TriggerRule,
    ::testing::Values(TriggerCase { "KeyboardsFailPortalBindsLater", "EuPo", DictationTrigger::desktopShortcut, false },
        TriggerCase { "PortalStillAnswering", "Eu", std::nullopt, false },
        TriggerCase { "NeitherServes", "EuPu", DictationTrigger::toggleCommand, true },
        TriggerCase { "NoPortalKeyboardsServe", "PuEo", DictationTrigger::fnKey, false },
        TriggerCase { "BothServe", "EoPo", DictationTrigger::desktopShortcut, false },
        TriggerCase { "KeyboardPluggedInAfterAll", "PuEuEo", DictationTrigger::fnKey, true }),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
