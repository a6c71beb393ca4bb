#include "core/dictationkeys.h"

QCoro::Task<std::optional<QString>> DictationKeys::read(QString account)
{
    const std::shared_ptr<Read> read = m_read;
    if (const auto known = read->keys.constFind(account); known != read->keys.cend())
        co_return *known;
    const quint64 dictation = read->dictation;
    std::optional<QString> key = co_await m_keyring->read(account);
    if (dictation == read->dictation)
        read->keys.insert(account, key);
    co_return key;
}

void DictationKeys::forget()
{
    m_read->keys.clear();
    ++m_read->dictation;
}
