#include "core/flows/ownbackendflow.h"

OwnBackendFlow::OwnBackendFlow(CollectorFactory makeCollector, AbstractVorsikAPIClient *client)
    : UploadFlow(std::move(makeCollector))
    , m_client(client)
{
}

QCoro::Task<QString> OwnBackendFlow::upload(
    QByteArray pcm, QString, SmartMode mode, QString context, QStringList vocabulary)
{
    return m_client->transcribeAndEdit(std::move(pcm), mode, context, vocabulary);
}
