#pragma once

#include "neighbours.h"

#include <QDBusConnection>

#include <chrono>

// Trusted means the accessibility bus is reachable and switched on
// (org.a11y.Status IsEnabled); asking for trust switches it on.
class AccessibilityPermission final : public AbstractAccessibilityPermission {
public:
    static constexpr std::chrono::milliseconds callTimeout { 500 };

    explicit AccessibilityPermission(QDBusConnection sessionBus = QDBusConnection::sessionBus());

    bool isTrusted() override;
    void requestTrust() override;

private:
    QDBusConnection m_bus;
};
