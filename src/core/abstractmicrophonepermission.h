#pragma once

#include <QCoro/QCoroTask>

class AbstractMicrophonePermission {
public:
    virtual ~AbstractMicrophonePermission() = default;
    // True when recording is allowed; may ask the user and wait for the answer.
    virtual QCoro::Task<bool> request() = 0;
};
