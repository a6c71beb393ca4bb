#pragma once

#include "core/enums.h"
#include "input/fnkeysource.h"

#include <QObject>

#include <functional>
#include <memory>
#include <optional>

// Calls one action per press of Fn: on the press, never on the release, and not
// again while Fn stays held, whatever else is pressed meanwhile. All sources share
// one Fn state.
class FnKeyMonitor : public QObject {
    Q_OBJECT

public:
    using Action = std::function<void()>;

    explicit FnKeyMonitor(Action action, QObject *parent = nullptr);

    // A monitor fed by the desktop's shortcut portal, where there is one, and by every keyboard
    // under /dev/input. `onUnavailable` hears, once, when no keyboard can be read.
    static std::unique_ptr<FnKeyMonitor> withSystemKeyboards(Action action,
        std::function<void(const QString &)> onUnavailable, std::function<void(DictationTrigger)> onTrigger = {});

    // Takes the source over, listens to it and starts it.
    void addSource(std::unique_ptr<FnKeySource> source);

    // The edge rule: a source saw Fn held (true) or not (false).
    void handleFnState(bool fnIsDown);

    bool fnIsDown() const { return m_fnIsDown; }
    // Known once every source has answered.
    std::optional<DictationTrigger> trigger() const { return m_trigger; }

Q_SIGNALS:
    // No source can observe presses; said once, and only after every source has answered, so a
    // portal that binds the shortcut a moment later never lets the user read a false alarm.
    void keyboardUnavailable(const QString &description);
    // Every source has answered, or one that could not serve serves now.
    void triggerChanged(DictationTrigger trigger);

private:
    struct SourceState {
        FnKeySource::Kind kind;
        bool answered = false;
        bool observing = false;
    };
    void settle();

    Action m_action;
    bool m_fnIsDown = false;
    QList<SourceState> m_sources;
    QString m_unavailableDescription;
    bool m_toldUnavailable = false;
    std::optional<DictationTrigger> m_trigger;
};
