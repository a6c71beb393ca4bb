#pragma once

#include "core/abstractkeychain.h"

#include <QString>

#include <chrono>
#include <optional>

// Reads the user's secrets from the freedesktop Secret Service (GNOME Keyring,
// KWallet), items with the attributes service = com.plumrest.Vorsik and account.
// Never writes. An item found only in a locked collection is unlocked through the
// service's own prompt, which the user is given `unlockTimeout` to answer; a
// declined unlock, no service or no session bus read as none, and a stalled
// service is given up after `timeout`.
class KeychainStore final : public AbstractKeychain {
public:
    static constexpr auto service = "com.plumrest.Vorsik";

    explicit KeychainStore(std::chrono::milliseconds timeout = std::chrono::seconds(2),
        std::chrono::milliseconds unlockTimeout = std::chrono::seconds(60));

    QCoro::Task<std::optional<QString>> read(QString account) override;

private:
    std::chrono::milliseconds m_timeout;
    std::chrono::milliseconds m_unlockTimeout;
};
