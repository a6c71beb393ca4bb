#include "localtranscriber.h"

#include "detachedtask.h"
#include "localrecognitionerror.h"
#include "logging.h"
#include "recognitionworker.h"

#include <QPointer>
#include <QTimer>
#include <QUnhandledException>

#include <QCoro/QCoroFuture>

namespace {

// The worker's errors come back wrapped by QtConcurrent (it passes on only QException
// subclasses as they are). Called inside a catch block.
QString currentFailure()
{
    try {
        try {
            throw;
        } catch (const QUnhandledException &wrapped) {
            if (wrapped.exception())
                std::rethrow_exception(wrapped.exception());
            throw;
        }
    } catch (const DescribedError &error) {
        return error.description();
    } catch (...) {
        return LocalRecognitionError(LocalRecognitionErrorCase::recognitionFailed).description();
    }
}

} // namespace

LocalTranscriber::LocalTranscriber(RealtimeTranscriberCallbacks callbacks, std::shared_ptr<RecognitionWorker> worker,
    Settings settings, QObject *parent)
    : QObject(parent)
    , m_callbacks(std::move(callbacks))
    , m_worker(std::move(worker))
    , m_settings(std::move(settings))
{
}

LocalTranscriber::~LocalTranscriber() { stop(); }

QCoro::Task<void> LocalTranscriber::connect(QString, QString prompt, QStringList keywords)
{
    m_transcript.emplace(TranscriptAssembler::Settings { .spokenPunctuation = m_settings.spokenPunctuation,
        .paragraphsAtPauses = m_settings.paragraphsAtPauses,
        .vocabulary = keywords,
        .context = prompt });
    startDetached(watchLoading(m_worker->preload(m_settings.modelPath)), [](const QString &) {});
    co_return;
}

QCoro::Task<> LocalTranscriber::watchLoading(QFuture<void> loading)
{
    const QPointer<LocalTranscriber> self(this);
    try {
        co_await loading;
    } catch (...) {
        if (self)
            self->fail(currentFailure());
    }
}

QCoro::Task<void> LocalTranscriber::appendAudio(QByteArray pcm)
{
    if (m_done || m_committed || !m_transcript)
        co_return;
    enqueue(m_detector.append(m_resampler.processPCM16(pcm)));
}

QCoro::Task<void> LocalTranscriber::commit()
{
    if (m_done || m_committed || !m_transcript)
        co_return;
    std::vector<SpeechStretch> tail = m_detector.append(m_resampler.flush());
    for (SpeechStretch &stretch : m_detector.finish())
        tail.push_back(std::move(stretch));
    m_committed = true;
    enqueue(std::move(tail));
}

QCoro::Task<void> LocalTranscriber::disconnect()
{
    stop();
    co_return;
}

void LocalTranscriber::stop()
{
    if (m_cancel->exchange(true))
        return;
    m_done = true;
    m_queue.clear();
    m_worker->touch();
}

void LocalTranscriber::enqueue(std::vector<SpeechStretch> stretches)
{
    for (SpeechStretch &stretch : stretches)
        m_queue.push_back(std::move(stretch));
    if (m_running)
        return;
    // Never from inside the caller's own call: a final text may follow at once.
    m_running = true;
    QTimer::singleShot(0, this, [this] { startDetached(recogniseQueued(), [](const QString &) {}); });
}

QCoro::Task<> LocalTranscriber::recogniseQueued()
{
    const QPointer<LocalTranscriber> self(this);
    const std::shared_ptr<const std::atomic_bool> cancel = m_cancel;
    while (!m_queue.empty()) {
        SpeechStretch stretch = std::move(m_queue.front());
        m_queue.pop_front();
        const WhisperModel::Options options { .language = m_settings.language,
            .prompt = m_transcript->prompt(),
            .threads = m_settings.threads,
            .shortAudioContext = m_settings.shortAudioContext };
        std::vector<WhisperSegment> segments;
        try {
            segments = co_await m_worker->recognise(m_settings.modelPath, std::move(stretch.samples), options, cancel);
        } catch (...) {
            if (self && !*cancel)
                fail(currentFailure());
            co_return;
        }
        // Destroyed, disconnected or failed meanwhile: nothing more is said.
        if (!self || *cancel || m_done)
            co_return;
        m_transcript->add(segments, stretch.pauseBefore);
        const QString text = m_transcript->text();
        // Partials only ever add; where the rules changed earlier text (a mark said at the
        // start of a stretch), the final text carries the change.
        if (text.startsWith(m_shown) && text.size() > m_shown.size()) {
            const QString delta = text.mid(m_shown.size());
            m_shown = text;
            if (m_callbacks.onPartial)
                m_callbacks.onPartial(delta);
        }
    }
    m_running = false;
    if (m_committed && !m_done) {
        m_done = true;
        m_worker->touch();
        if (m_callbacks.onFinal)
            m_callbacks.onFinal(m_transcript->text());
    }
}

void LocalTranscriber::fail(const QString &message)
{
    if (m_done)
        return;
    m_done = true;
    m_queue.clear();
    m_cancel->store(true);
    m_worker->touch();
    if (m_callbacks.onError)
        m_callbacks.onError(message);
}
