#pragma once

#include "neighbours.h"

// Remembers the requests; the test decides when the permission counts as granted.
class FakeAccessibilityPermission final : public AbstractAccessibilityPermission {
public:
    bool trusted = false;
    int requests = 0;
    bool isTrusted() override { return trusted; }
    void requestTrust() override { ++requests; }
};
