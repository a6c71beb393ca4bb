#pragma once

#include "core/abstractrealtimetranscriber.h"
#include "services/local/pausedetector.h"
#include "services/local/recognitionmodel.h"
#include "services/local/resampler.h"
#include "services/local/transcriptassembler.h"

#include <QFuture>
#include <QObject>

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

class RecognitionWorker;

// One dictation recognised on this computer. The recording is cut at the speaker's pauses
// and each finished stretch is recognised on the worker while the speaker goes on, so that
// after commit() only the last stretch is left. Lives on the main thread, where every
// callback is made; nothing here blocks it.
class LocalTranscriber final : public QObject, public AbstractRealtimeTranscriber {
public:
    struct Settings {
        QString modelPath;
        QString language = QStringLiteral("ru");
        bool spokenPunctuation = true;
        bool paragraphsAtPauses = false; // the `structured` mode
        int threads = RecognitionModel::defaultThreadCount();
    };

    static constexpr double inputRate = 24000.0; // the recording's s16le mono

    LocalTranscriber(RealtimeTranscriberCallbacks callbacks, std::shared_ptr<RecognitionWorker> worker,
        Settings settings, QObject *parent = nullptr);
    ~LocalTranscriber() override;

    // Starts loading the model and returns; a model that cannot load is reported through
    // onError. `prompt` is the speech context and `keywords` the vocabulary; the key is unused.
    QCoro::Task<void> connect(QString apiKey, QString prompt, QStringList keywords) override;
    QCoro::Task<void> appendAudio(QByteArray pcm) override;
    QCoro::Task<void> commit() override;
    // Stops the engine (it checks between its computations) and drops whatever it still sends.
    QCoro::Task<void> disconnect() override;

private:
    void enqueue(std::vector<SpeechStretch> stretches);
    QCoro::Task<> recogniseQueued();
    QCoro::Task<> watchLoading(QFuture<void> loading);
    void finishText();
    void noteVocabularyLeftOut(const QStringList &words);
    void fail(const QString &message);
    void stop();

    RealtimeTranscriberCallbacks m_callbacks;
    std::shared_ptr<RecognitionWorker> m_worker;
    Settings m_settings;
    std::shared_ptr<std::atomic_bool> m_cancel = std::make_shared<std::atomic_bool>(false);
    Resampler m_resampler { inputRate };
    PauseDetector m_detector;
    std::optional<TranscriptAssembler> m_transcript;
    std::deque<SpeechStretch> m_queue;
    QString m_shown; // the text the partials have given so far
    struct LostSpan {
        std::chrono::milliseconds start;
        std::chrono::milliseconds end;
    };
    std::vector<LostSpan> m_lost; // stretches the engine failed on, from the recording's start
    QString m_lostReason; // the last such failure, in words for the user
    bool m_vocabularyChecked = false;
    bool m_running = false; // recogniseQueued() is at work
    bool m_committed = false;
    bool m_done = false; // final or error given, or disconnected: nothing more is said
};
