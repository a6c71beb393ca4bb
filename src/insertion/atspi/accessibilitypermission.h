#pragma once

#include "core/abstractaccessibilitypermission.h"

#include <QDBusConnection>

#include <atomic>
#include <chrono>
#include <memory>

// The accessibility bus counts as enabled when it is reachable and switched on
// (org.a11y.Status IsEnabled); enableBus() switches it on.
//
// The answer takes two calls to the bus, which a hung bus makes wait for their time-out. On the
// main thread isBusEnabled() therefore never waits: it gives the last answer and has a worker ask
// again; every other thread (the accessibility thread) asks and waits.
class AccessibilityPermission final : public AbstractAccessibilityPermission {
public:
    static constexpr std::chrono::milliseconds callTimeout { 500 };

    explicit AccessibilityPermission(QDBusConnection sessionBus = QDBusConnection::sessionBus());

    bool isBusEnabled() override;
    void enableBus() override;

    struct State {
        std::atomic<bool> busEnabled { false };
        std::atomic<bool> asking { false };
    };

private:
    void askInBackground();

    QDBusConnection m_bus;
    // Shared with a worker still asking when this object goes.
    std::shared_ptr<State> m_state;
};
