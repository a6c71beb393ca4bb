#pragma once

#include "core/abstractlocalrecognition.h"
#include "core/flows/streamedflow.h"

// Recognition on this computer, the own-backend path of a build without a backend.
class LocalFlow final : public StreamedFlow {
public:
    explicit LocalFlow(AbstractLocalRecognition *recognition);

    std::optional<QString> unavailableReason() override { return m_recognition->unavailableReason(); }
    bool walkthroughShowsFinishing() const override { return true; }

protected:
    std::unique_ptr<AbstractRealtimeTranscriber> makeTranscriber(RealtimeTranscriberCallbacks callbacks) override;
    // Its recogniser always answers, and a long tail on a slow processor may rightly take
    // longer than a network would.
    bool mayGoQuiet() const override { return false; }

private:
    AbstractLocalRecognition *m_recognition;
};
