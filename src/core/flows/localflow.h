#pragma once

#include "abstractlocalrecognition.h"
#include "streamedflow.h"

// Recognition on this computer, the own-backend path of a build without a backend. The
// local clean-up tidies the transcript; the text goes to the OpenAI text editor only where
// the user turned that on in the settings (and a key is present): what the user dictates
// leaves the computer only by their choice.
class LocalFlow final : public StreamedFlow {
public:
    LocalFlow(AbstractKeychain *keychain, AbstractTextPolisher *polisher, AbstractLocalRecognition *recognition);

    std::optional<QString> unavailableReason() override { return m_recognition->unavailableReason(); }
    bool walkthroughShowsFinishing() const override { return true; }

protected:
    std::unique_ptr<AbstractRealtimeTranscriber> makeTranscriber(RealtimeTranscriberCallbacks callbacks) override;
    bool offersPolishing() const override;
    QString unpolished(const QString &text, SmartMode mode) override { return m_recognition->cleanUp(text, mode); }
    // Its recogniser always answers, and a long tail on a slow processor may rightly take
    // longer than a network would.
    bool mayGoQuiet() const override { return false; }

private:
    AbstractLocalRecognition *m_recognition;
};
