#pragma once

#include "core/abstractkeychain.h"

#include <QHash>

#include <memory>

// The keys of one dictation: each account is read from the keyring once, at the first ask, and
// handed to whoever asks again (the press, the upload after the second press, the editor) until
// the next dictation begins. A keyring that prompts to unlock prompts once.
class DictationKeys final : public AbstractKeychain {
public:
    explicit DictationKeys(AbstractKeychain *keyring)
        : m_keyring(keyring)
    {
    }
    QCoro::Task<std::optional<QString>> read(QString account) override;
    // A new dictation: a key changed in the settings meanwhile is read anew.
    void forget();

private:
    struct Read {
        QHash<QString, std::optional<QString>> keys;
        // A read still under way when its dictation ended keeps its answer out of the next one.
        quint64 dictation = 0;
    };
    AbstractKeychain *m_keyring;
    // Shared with reads under way, which may end after this object.
    std::shared_ptr<Read> m_read = std::make_shared<Read>();
};
