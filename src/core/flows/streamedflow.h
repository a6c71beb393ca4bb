#pragma once

#include "core/abstractrealtimetranscriber.h"
#include "core/boundedchunkstream.h"
#include "core/flows/abstractdictationflow.h"

#include <memory>
#include <optional>

// Streams the recording into a realtime recogniser as it is captured: partial text comes
// while the user speaks, the whole text after commit().
class StreamedFlow : public AbstractDictationFlow {
public:
    Finishing finishing() const override { return Finishing::recognition; }
    QCoro::Task<bool> prepare(QString key, DictationContext context) override;
    AbstractAudioRecorder::PCMHandler audioSink() override;
    QCoro::Task<bool> finish(DictationContext context) override;
    void endAudio() override;
    QCoro::Task<> close() override;
    void discard() override;
    void abandon() override;

protected:
    virtual std::unique_ptr<AbstractRealtimeTranscriber> makeTranscriber(RealtimeTranscriberCallbacks callbacks) = 0;
    // The final text may never come after commit(), the connection gone quiet.
    virtual bool mayGoQuiet() const = 0;

private:
    void cancelForwardTask();

    std::shared_ptr<AbstractRealtimeTranscriber> m_transcriber;
    std::shared_ptr<BoundedChunkStream> m_audioContinuation;
    std::optional<QCoro::Task<>> m_audioForwardTask;
    std::shared_ptr<bool> m_forwardCancelled;
};
