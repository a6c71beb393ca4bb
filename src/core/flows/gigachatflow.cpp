#include "core/flows/gigachatflow.h"

using namespace Qt::StringLiterals;

namespace {

const QString keyAccount = u"gigachat-authorization-key"_s;

} // namespace

GigaChatFlow::GigaChatFlow(CollectorFactory makeCollector, AbstractKeychain *keychain, AbstractGigaChatClient *client)
    : UploadFlow(std::move(makeCollector))
    , m_keychain(keychain)
    , m_client(client)
{
}

std::optional<AbstractDictationFlow::KeyRequirement> GigaChatFlow::key() const
{
    return KeyRequirement { keyAccount, u"Добавьте Authorization Key GigaChat"_s };
}

QCoro::Task<QString> GigaChatFlow::readUploadKey()
{
    const std::optional<QString> key = co_await m_keychain->read(keyAccount);
    co_return key.value_or(QString());
}

QCoro::Task<QString> GigaChatFlow::upload(
    QByteArray pcm, QString key, SmartMode mode, QString context, QStringList vocabulary)
{
    return m_client->transcribeAndEdit(std::move(pcm), key, mode, context, vocabulary);
}
