#pragma once

#include <QString>

#include <QCoro/QCoroTask>

#include <optional>

// Read-only access to the user's secrets. A read may wait for the user to unlock
// the keyring: it is awaited and resumes on the caller's thread.
class AbstractKeychain {
public:
    virtual ~AbstractKeychain() = default;
    virtual QCoro::Task<std::optional<QString>> read(QString account) = 0;
};
