#pragma once

// Whether this program may read other applications' UI and paste into them. On
// Linux: the accessibility bus is reachable and enabled; the request switches it on.
class AbstractAccessibilityPermission {
public:
    virtual ~AbstractAccessibilityPermission() = default;
    virtual bool isTrusted() = 0;
    // Asks for the permission (where the desktop allows, grants it); the answer is not awaited.
    virtual void requestTrust() = 0;
};
