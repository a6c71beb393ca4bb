#pragma once

#include "core/abstractkeychain.h"
#include "core/abstractlocalrecognition.h"
#include "services/server/recognitionserverclient.h"

#include <functional>

// Recognition on a server the user runs, through the OpenAI-compatible transcription API, in
// place of this computer's. The address, model, CA file and leave for plain HTTP come from
// the settings at each dictation; the key from the keyring. `localOffer` says, when the server
// cannot be reached, how to recognise on this computer instead, or nothing where no model is
// installed here: the choice stays the user's.
class ServerRecognitionService final : public AbstractLocalRecognition {
public:
    ServerRecognitionService(AbstractKeychain *keychain, std::function<QString()> localOffer);

    // The server's settings as stored.
    static RecognitionServerClient::Settings storedSettings();

    std::optional<QString> unavailableReason() override;
    std::unique_ptr<AbstractRealtimeTranscriber> makeTranscriber(
        RealtimeTranscriberCallbacks callbacks, SmartMode mode) override;
    QString cleanUp(const QString &text, SmartMode mode) override;

private:
    AbstractKeychain *m_keychain;
    std::function<QString()> m_localOffer;
};

// Hands each dictation to the server where the settings name one, else to this computer.
class RecognitionPlace final : public AbstractLocalRecognition {
public:
    RecognitionPlace(AbstractLocalRecognition *here, AbstractLocalRecognition *server);

    static bool onServer();

    std::optional<QString> unavailableReason() override { return current()->unavailableReason(); }
    std::unique_ptr<AbstractRealtimeTranscriber> makeTranscriber(
        RealtimeTranscriberCallbacks callbacks, SmartMode mode) override
    {
        return current()->makeTranscriber(std::move(callbacks), mode);
    }
    QString cleanUp(const QString &text, SmartMode mode) override { return current()->cleanUp(text, mode); }

private:
    AbstractLocalRecognition *current() const { return onServer() ? m_server : m_here; }

    AbstractLocalRecognition *m_here;
    AbstractLocalRecognition *m_server;
};
