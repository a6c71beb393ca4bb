#pragma once

#include "core/abstractvorsikapiclient.h"
#include "core/flows/uploadflow.h"

// The program's own backend: the recording is uploaded once the user stops; the client
// gets ready for the upload while the user speaks.
class OwnBackendFlow final : public UploadFlow {
public:
    OwnBackendFlow(CollectorFactory makeCollector, AbstractVorsikAPIClient *client);

    bool walkthroughShowsFinishing() const override { return true; }
    void warmUp() override { m_client->warmUp(); }

protected:
    QCoro::Task<QString> upload(
        QByteArray pcm, QString key, SmartMode mode, QString context, QStringList vocabulary) override;

private:
    AbstractVorsikAPIClient *m_client;
};
