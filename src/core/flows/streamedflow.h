#pragma once

#include "abstractdictationflow.h"
#include "abstractkeychain.h"
#include "abstractrealtimetranscriber.h"
#include "abstracttextpolisher.h"
#include "boundedchunkstream.h"
#include "enums.h"

#include <memory>
#include <optional>

// The keyring account of the OpenAI key; it also unlocks the editing of a streamed transcript.
inline const QString openAIKeyAccount = QStringLiteral("openai-api-key");

// Streams the recording into a realtime recogniser as it is captured: partial text comes
// while the user speaks, the whole text after commit(). The text polisher edits it where
// the flow offers it and an OpenAI key is present.
class StreamedFlow : public AbstractDictationFlow {
public:
    StreamedFlow(AbstractKeychain *keychain, AbstractTextPolisher *polisher);

    Finishing finishing() const override { return Finishing::recognition; }
    QCoro::Task<bool> prepare(QString key, DictationContext context) override;
    AbstractAudioRecorder::PCMHandler audioSink() override;
    QCoro::Task<bool> finish(DictationContext context) override;
    QCoro::Task<std::optional<QString>> edit(QString text, DictationContext context) override;
    void endAudio() override;
    QCoro::Task<> close() override;
    void discard(bool disconnect) override;
    void abandonForTermination() override;
    bool holdsTranscriber() const override { return m_transcriber != nullptr; }
    bool holdsAudioStream() const override { return m_audioContinuation != nullptr; }

protected:
    virtual std::unique_ptr<AbstractRealtimeTranscriber> makeTranscriber(RealtimeTranscriberCallbacks callbacks) = 0;
    // Whether the text may go to the polisher at all; it then still needs the OpenAI key.
    virtual bool offersPolishing() const = 0;
    // The text when the polisher does not edit it.
    virtual QString unpolished(const QString &text, SmartMode mode) = 0;
    // The final text may never come after commit(), the connection gone quiet.
    virtual bool mayGoQuiet() const = 0;

private:
    void cancelForwardTask();

    AbstractKeychain *m_keychain;
    AbstractTextPolisher *m_polisher;
    std::shared_ptr<AbstractRealtimeTranscriber> m_transcriber;
    std::shared_ptr<BoundedChunkStream> m_audioContinuation;
    std::optional<QCoro::Task<>> m_audioForwardTask;
    std::shared_ptr<bool> m_forwardCancelled;
};
