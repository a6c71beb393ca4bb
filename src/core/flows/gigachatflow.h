#pragma once

#include "core/abstractgigachatclient.h"
#include "core/abstractkeychain.h"
#include "core/flows/uploadflow.h"

// GigaChat: the recording is uploaded with the authorization key, read again for the upload.
class GigaChatFlow final : public UploadFlow {
public:
    GigaChatFlow(CollectorFactory makeCollector, AbstractKeychain *keychain, AbstractGigaChatClient *client);

    std::optional<KeyRequirement> key() const override;
    bool walkthroughShowsFinishing() const override { return false; }

protected:
    QCoro::Task<QString> readUploadKey() override;
    QCoro::Task<QString> upload(
        QByteArray pcm, QString key, SmartMode mode, QString context, QStringList vocabulary) override;

private:
    AbstractKeychain *m_keychain;
    AbstractGigaChatClient *m_client;
};
