#pragma once

#include "abstractmicrophonepermission.h"

// Linux has no per-application microphone permission: a device that cannot be
// opened surfaces as a recorder start failure instead.
class MicrophonePermission final : public AbstractMicrophonePermission {
public:
    QCoro::Task<bool> request() override { co_return true; }
};
