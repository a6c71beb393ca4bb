#include "services/local/localtranscriber.h"

#include "core/appsettings.h"
#include "core/detachedtask.h"
#include "core/logging.h"
#include "services/local/localrecognitionerror.h"
#include "services/local/recognitionworker.h"

#include <QPointer>
#include <QTimer>
#include <QUnhandledException>

#include <QCoro/QCoroFuture>

using namespace Qt::StringLiterals;

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
        const LostSpan span { stretch.start,
            stretch.start + std::chrono::milliseconds(stretch.samples.size() * 1000 / PauseDetector::sampleRate) };
        const RecognitionModel::Options options {
            .language = m_settings.language, .prompt = m_transcript->prompt(), .threads = m_settings.threads
        };
        Recognition recognition;
        std::optional<QString> failure;
        try {
            recognition
                = co_await m_worker->recognise(m_settings.modelPath, std::move(stretch.samples), options, cancel);
        } catch (...) {
            failure = currentFailure();
        }
        // Destroyed, disconnected or failed meanwhile: nothing more is said.
        if (!self || *cancel || m_done)
            co_return;
        if (failure) {
            // That stretch is lost, not the dictation: the next ones may still be recognised.
            qCWarning(lcServices) << "local: a stretch of" << (span.end - span.start).count() << "ms failed";
            m_lost.push_back(span);
            m_lostReason = *failure;
            continue;
        }
        noteVocabularyLeftOut(recognition.vocabularyLeftOut);
        m_transcript->add(recognition.segments, stretch.pauseBefore);
        const QString text = m_transcript->text();
        if (text != m_shown) {
            m_shown = text;
            if (m_callbacks.onPartial)
                m_callbacks.onPartial(text);
        }
    }
    m_running = false;
    if (m_committed && !m_done)
        finishText();
}

void LocalTranscriber::finishText()
{
    const QString text = m_transcript->text();
    if (!m_lost.empty() && text.trimmed().isEmpty()) {
        fail(m_lostReason); // nothing was recognised: the reason is the whole story
        return;
    }
    m_done = true;
    m_worker->touch();
    if (!m_lost.empty() && m_callbacks.onNotice) {
        QStringList spans;
        for (const LostSpan &span : m_lost)
            spans.append(u"%1–%2 с"_s.arg(span.start.count() / 1000).arg((span.end.count() + 999) / 1000));
        m_callbacks.onNotice(u"Часть речи не распознана (%1): %2"_s.arg(spans.join(u", "_s), m_lostReason));
    }
    if (m_callbacks.onFinal)
        m_callbacks.onFinal(text);
}

void LocalTranscriber::noteVocabularyLeftOut(const QStringList &words)
{
    if (m_vocabularyChecked)
        return;
    m_vocabularyChecked = true;
    // The settings window names these words; the note goes once the vocabulary fits again.
    const QString note = words.join(u", "_s);
    if (AppSettings::string(AppSettings::Keys::localVocabularyLeftOut).value_or(QString()) == note)
        return;
    if (note.isEmpty())
        AppSettings::remove(AppSettings::Keys::localVocabularyLeftOut);
    else
        AppSettings::setString(AppSettings::Keys::localVocabularyLeftOut, note);
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
