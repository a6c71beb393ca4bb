#pragma once

#include "fnkeysource.h"

#include <QObject>

#include <functional>
#include <memory>

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
    static std::unique_ptr<FnKeyMonitor> withSystemKeyboards(
        Action action, std::function<void(const QString &)> onUnavailable);

    // Takes the source over, listens to it and starts it.
    void addSource(std::unique_ptr<FnKeySource> source);

    // The edge rule: a source saw Fn held (true) or not (false).
    void handleFnState(bool fnIsDown);

    bool fnIsDown() const { return m_fnIsDown; }

Q_SIGNALS:
    void keyboardUnavailable(const QString &description);

private:
    Action m_action;
    bool m_fnIsDown = false;
};
