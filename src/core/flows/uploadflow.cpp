#include "core/flows/uploadflow.h"

#include "core/appsettings.h"
#include "core/describederror.h"
#include "core/logging.h"

UploadFlow::UploadFlow(CollectorFactory makeCollector)
    : m_makeCollector(std::move(makeCollector))
{
}

QCoro::Task<bool> UploadFlow::prepare(QString, DictationContext)
{
    m_collector = std::shared_ptr<AbstractPCMCollector>(m_makeCollector());
    co_return true;
}

AbstractAudioRecorder::PCMHandler UploadFlow::audioSink()
{
    return [collector = m_collector](const QByteArray &chunk) { collector->append(chunk); };
}

QCoro::Task<bool> UploadFlow::finish(DictationContext context)
{
    QByteArray pcm;
    if (m_collector)
        pcm = m_collector->takeAll();
    m_collector.reset();
    const SmartMode mode = AppSettings::smartMode();
    const QString prompt = AppSettings::transcriptionPrompt();
    const QStringList vocabulary = AppSettings::customVocabulary();

    const QString key = co_await readUploadKey();
    if (!context.isCurrent())
        co_return false;
    qCDebug(lcCore) << "dictation" << context.session << "uploads" << pcm.size() << "bytes after"
                    << context.clock.elapsed() << "ms";
    QString text;
    std::optional<QString> failure;
    try {
        text = co_await upload(std::move(pcm), key, mode, prompt, vocabulary);
    } catch (const std::exception &error) {
        failure = errorDescription(error);
    }
    if (!context.isCurrent())
        co_return false; // the dictation was reset meanwhile: the result is stale
    qCDebug(lcCore) << "dictation" << context.session << (failure ? "upload failed" : "upload answered") << "after"
                    << context.clock.elapsed() << "ms";
    if (failure)
        context.onError(*failure);
    else
        context.onFinal(text);
    co_return false;
}

QCoro::Task<QString> UploadFlow::readUploadKey() { co_return QString(); }
