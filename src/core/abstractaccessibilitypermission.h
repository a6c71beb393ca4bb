#pragma once

// Whether this program may read other applications' UI and paste into them. On
// Linux: the accessibility bus is reachable and enabled; the request switches it on.
class AbstractAccessibilityPermission {
public:
    virtual ~AbstractAccessibilityPermission() = default;
    // Whether the accessibility bus is reachable and switched on.
    virtual bool isBusEnabled() = 0;
    // Asks for the bus to be switched on (where the desktop allows, it is); the answer is not awaited.
    virtual void enableBus() = 0;
};
