#include "input/fnkeymonitor.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

// 'D': a source saw Fn held (a press, or another key changing while Fn stays down);
// 'U': a source saw Fn up (a release, or another key alone).
TEST(FnEdgeRule, OneActionPerPressNoneOnRelease)
{
    const std::tuple<std::string, int, bool> cases[] = {
        { "DDDU", 1, false }, // Shift pressed while Fn is held
        { "U", 0, false },
        { "UD", 1, true },
        { "DDUUDUDDU", 3, false },
    };
    for (const auto &[states, actions, heldAtEnd] : cases) {
        SCOPED_TRACE(states);
        int seen = 0;
        FnKeyMonitor monitor([&seen] { ++seen; });
        for (const char state : states)
            monitor.handleFnState(state == 'D');
        EXPECT_EQ(seen, actions);
        EXPECT_EQ(monitor.fnIsDown(), heldAtEnd);
    }
}

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
TEST(TriggerRule, NamesTheTriggerAndTellsOfNoneOnlyOnceAllAnswered)
{
    const std::tuple<std::string, std::optional<DictationTrigger>, bool> cases[] = {
        { "EuPo", DictationTrigger::desktopShortcut, false },
        { "Eu", std::nullopt, false }, // the portal is still answering
        { "EuPu", DictationTrigger::toggleCommand, true }, { "PuEo", DictationTrigger::fnKey, false },
        { "EoPo", DictationTrigger::desktopShortcut, false },
        { "PuEuEo", DictationTrigger::fnKey, true }, // a keyboard plugged in after all
    };
    for (const auto &[steps, trigger, told] : cases) {
        SCOPED_TRACE(steps);
        FnKeyMonitor monitor({});
        auto *portal = new ScriptedSource(FnKeySource::Kind::desktopShortcut);
        auto *keyboards = new ScriptedSource(FnKeySource::Kind::fnKey);
        monitor.addSource(std::unique_ptr<FnKeySource>(portal));
        monitor.addSource(std::unique_ptr<FnKeySource>(keyboards));
        QStringList messages;
        QObject::connect(
            &monitor, &FnKeyMonitor::keyboardUnavailable, [&](const QString &text) { messages.append(text); });
        for (size_t i = 0; i < steps.size(); i += 2)
            (steps[i] == 'P' ? portal : keyboards)->answer(steps[i + 1]);
        EXPECT_EQ(monitor.trigger(), trigger);
        EXPECT_EQ(messages, told ? QStringList { u"E"_qs } : QStringList());
    }
}

} // namespace
