#include "services/local/recognitionworker.h"

#include "core/appsettings.h"
#include "core/logging.h"

#include <QElapsedTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <malloc.h>

RecognitionWorker::RecognitionWorker(QObject *parent)
    : QObject(parent)
{
    m_pool.setMaxThreadCount(1);
    m_releaseTimer.setSingleShot(true);
    QObject::connect(&m_releaseTimer, &QTimer::timeout, this, &RecognitionWorker::releaseModel);
}

RecognitionWorker::~RecognitionWorker() { m_pool.waitForDone(); }

RecognitionModel &RecognitionWorker::model(const QString &path, PastFailure pastFailure)
{
    std::unique_lock lock(m_mutex);
    if (m_model && m_path == path)
        return *m_model;
    if (pastFailure == PastFailure::rethrow && m_failure && m_failure->first == path)
        std::rethrow_exception(m_failure->second);
    // The old model goes first: two in memory at once may not fit.
    m_model.reset();
    m_path.clear();
    m_failure.reset();
    lock.unlock();
    QElapsedTimer clock;
    clock.start();
    try {
        std::unique_ptr<RecognitionModel> loaded = RecognitionModel::load(path);
        lock.lock();
        m_model = std::move(loaded);
        m_path = path;
        qCDebug(lcServices) << "engine: model loaded in" << clock.elapsed() << "ms";
        return *m_model;
    } catch (...) {
        if (!lock.owns_lock())
            lock.lock();
        m_failure.emplace(path, std::current_exception());
        throw;
    }
}

QFuture<void> RecognitionWorker::preload(const QString &path)
{
    m_releaseTimer.stop();
    return QtConcurrent::run(&m_pool, [this, path] { model(path, PastFailure::retry); });
}

QFuture<Recognition> RecognitionWorker::recognise(const QString &path, std::vector<float> samples,
    RecognitionModel::Options options, std::shared_ptr<const std::atomic_bool> cancel)
{
    m_releaseTimer.stop();
    return QtConcurrent::run(
        &m_pool, [this, path, samples = std::move(samples), options = std::move(options), cancel]() {
            if (*cancel)
                return Recognition {};
            return model(path, PastFailure::rethrow).recognise(samples, options, *cancel);
        });
}

void RecognitionWorker::touch()
{
    using namespace std::chrono;
    m_releaseTimer.start(m_keepTime.value_or(minutes(AppSettings::localModelKeepMinutes())));
}

bool RecognitionWorker::isLoaded() const
{
    std::lock_guard lock(m_mutex);
    return m_model != nullptr;
}

void RecognitionWorker::releaseModel()
{
    // Queued behind any job still running, so a model in use is never freed under it.
    // Nobody waits for it; the pool runs it all the same.
    (void)QtConcurrent::run(&m_pool, [this] {
        {
            std::lock_guard lock(m_mutex);
            m_model.reset();
            m_path.clear();
        }
        // The allocator keeps freed buffers for this thread otherwise: the memory is to go back.
        malloc_trim(0);
        qCDebug(lcServices) << "engine: model released after the keep time";
    });
}
