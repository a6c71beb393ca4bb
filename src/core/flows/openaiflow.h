#pragma once

#include "core/flows/streamedflow.h"

// OpenAI: the realtime transcription web socket.
class OpenAIFlow final : public StreamedFlow {
public:
    explicit OpenAIFlow(RealtimeTranscriberFactory makeTranscriber);

    std::optional<KeyRequirement> key() const override;
    bool walkthroughShowsFinishing() const override { return false; }

protected:
    std::unique_ptr<AbstractRealtimeTranscriber> makeTranscriber(RealtimeTranscriberCallbacks callbacks) override;
    bool mayGoQuiet() const override { return true; }

private:
    RealtimeTranscriberFactory m_makeTranscriber;
};
