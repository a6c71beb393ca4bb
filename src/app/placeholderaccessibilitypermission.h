#pragma once

#include "neighbours.h"

// Stand-in until the AT-SPI permission is built: never trusted, and asking does nothing.
class PlaceholderAccessibilityPermission final : public AbstractAccessibilityPermission
{
public:
    bool isTrusted() override { return false; }
    void requestTrust() override {}
};
