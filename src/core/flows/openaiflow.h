#pragma once

#include "streamedflow.h"

// OpenAI: the realtime transcription web socket, then the text editor model.
class OpenAIFlow final : public StreamedFlow {
public:
    OpenAIFlow(AbstractKeychain *keychain, AbstractTextPolisher *polisher, RealtimeTranscriberFactory makeTranscriber);

    std::optional<KeyRequirement> key() const override;
    bool walkthroughShowsFinishing() const override { return false; }

protected:
    std::unique_ptr<AbstractRealtimeTranscriber> makeTranscriber(RealtimeTranscriberCallbacks callbacks) override;
    // Whatever key the keyring holds now is tried, even an empty one: a failed edit keeps the text.
    bool offersPolishing() const override { return true; }
    QString unpolished(const QString &text, SmartMode) override { return text; }
    bool mayGoQuiet() const override { return true; }

private:
    RealtimeTranscriberFactory m_makeTranscriber;
};
