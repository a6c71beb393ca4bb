#include "core/flows/streamedflow.h"

#include "core/appsettings.h"
#include "core/describederror.h"
#include "core/detachedtask.h"
#include "core/logging.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace {

// The recogniser calls back on any thread; the context is for the main thread.
std::function<void(const QString &)> onMainThread(std::function<void(const QString &)> action)
{
    return [action = std::move(action)](const QString &argument) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [action, argument] { action(argument); }, Qt::QueuedConnection);
    };
}

QCoro::Task<> forwardAudio(std::shared_ptr<BoundedChunkStream> stream,
    std::shared_ptr<AbstractRealtimeTranscriber> transcriber, std::shared_ptr<bool> cancelled,
    std::function<void(const AudioLoss &)> onLost)
{
    while (!*cancelled) {
        std::optional<QByteArray> chunk = co_await stream->next();
        if (!chunk || *cancelled)
            break;
        if (const std::optional<AudioLoss> loss = stream->takeLoss(); loss && onLost)
            onLost(*loss);
        bool failed = false;
        try {
            co_await transcriber->appendAudio(*chunk);
        } catch (const std::exception &error) {
            failed = true; // the transcriber reports its own failures through onError
            qCWarning(lcCore) << "audio forwarding stopped:" << errorKind(error);
        }
        if (failed)
            break;
    }
}

void disconnectWithoutWaiting(std::shared_ptr<AbstractRealtimeTranscriber> transcriber)
{
    // Only logged on failure: the dictation it belonged to is already over.
    startDetached([](std::shared_ptr<AbstractRealtimeTranscriber> t) -> QCoro::Task<> { co_await t->disconnect(); }(
                                                                         std::move(transcriber)),
        {});
}

} // namespace

QCoro::Task<bool> StreamedFlow::prepare(QString key, DictationContext context)
{
    RealtimeTranscriberCallbacks callbacks;
    callbacks.onPartial = onMainThread(context.onPartial);
    callbacks.onFinal = onMainThread(context.onFinal);
    callbacks.onError = onMainThread(context.onError);
    callbacks.onNotice = onMainThread(context.onNotice);

    std::shared_ptr<AbstractRealtimeTranscriber> transcriber = makeTranscriber(std::move(callbacks));
    m_transcriber = transcriber;
    co_await transcriber->connect(key, AppSettings::transcriptionPrompt(), AppSettings::customVocabulary());
    if (!context.isCurrent() || m_transcriber != transcriber)
        co_return false; // the dictation ended while connecting

    auto stream = std::make_shared<BoundedChunkStream>();
    m_audioContinuation = stream;
    m_forwardCancelled = std::make_shared<bool>(false);
    m_audioForwardTask.emplace(forwardAudio(stream, transcriber, m_forwardCancelled, context.onAudioLost));
    co_return true;
}

AbstractAudioRecorder::PCMHandler StreamedFlow::audioSink()
{
    return [stream = m_audioContinuation](const QByteArray &chunk) { stream->yield(chunk); };
}

QCoro::Task<bool> StreamedFlow::finish(DictationContext context)
{
    endAudio();
    if (m_audioForwardTask) {
        QCoro::Task<> forward = std::move(*m_audioForwardTask);
        m_audioForwardTask.reset();
        co_await forward; // every chunk recorded so far has been handed over
        if (!context.isCurrent())
            co_return false;
    }
    std::shared_ptr<AbstractRealtimeTranscriber> transcriber = m_transcriber;
    if (!transcriber)
        co_return false;
    std::optional<QString> failure;
    try {
        co_await transcriber->commit();
    } catch (const std::exception &error) {
        failure = errorDescription(error);
    }
    if (!context.isCurrent())
        co_return false;
    if (failure) {
        context.onError(*failure);
        co_return false;
    }
    co_return mayGoQuiet();
}

void StreamedFlow::endAudio()
{
    if (auto stream = std::exchange(m_audioContinuation, nullptr))
        stream->finish();
}

QCoro::Task<> StreamedFlow::close()
{
    endAudio();
    cancelForwardTask();
    if (auto transcriber = std::exchange(m_transcriber, nullptr))
        co_await transcriber->disconnect();
}

void StreamedFlow::discard()
{
    endAudio();
    cancelForwardTask();
    m_transcriber.reset();
}

void StreamedFlow::abandon()
{
    endAudio();
    cancelForwardTask();
    if (std::shared_ptr<AbstractRealtimeTranscriber> transcriber = std::exchange(m_transcriber, nullptr))
        disconnectWithoutWaiting(std::move(transcriber));
}

void StreamedFlow::cancelForwardTask()
{
    if (m_forwardCancelled)
        *m_forwardCancelled = true;
    m_forwardCancelled.reset();
    m_audioForwardTask.reset(); // a running forward task finishes on its own once woken
}
