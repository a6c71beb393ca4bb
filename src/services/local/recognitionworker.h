#pragma once

#include "services/local/recognitionmodel.h"

#include <QFuture>
#include <QObject>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

// The one thread that owns the loaded model. Jobs run in order; the model stays loaded
// between dictations and is released after a quiet spell (the keep time, counted from the
// last touch()). Lives on the main thread; its futures finish on the worker thread.
class RecognitionWorker final : public QObject {
public:
    explicit RecognitionWorker(QObject *parent = nullptr);
    // Waits for the running job: cancel it first.
    ~RecognitionWorker() override;

    // Loads the model at `path` unless it is the one loaded. Throws LocalRecognitionError.
    QFuture<void> preload(const QString &path);
    // Recognises with the model at `path`, loading it first if needed. A model that failed
    // to load is not tried again until the next preload(). Throws LocalRecognitionError.
    QFuture<Recognition> recognise(const QString &path, std::vector<float> samples, RecognitionModel::Options options,
        std::shared_ptr<const std::atomic_bool> cancel);

    // A dictation ended: the keep time starts over.
    void touch();
    // The keep time; by default the setting, read at each touch().
    void setKeepTime(std::optional<std::chrono::milliseconds> keep) { m_keepTime = keep; }
    bool isLoaded() const;

private:
    void releaseModel();
    // What a model that failed to load at `path` before gets: another try, or the same failure.
    enum class PastFailure { retry, rethrow };
    // On the worker thread.
    RecognitionModel &model(const QString &path, PastFailure pastFailure);

    QThreadPool m_pool;
    QTimer m_releaseTimer;
    std::optional<std::chrono::milliseconds> m_keepTime;
    mutable std::mutex m_mutex; // guards the three below, written on the worker thread
    std::unique_ptr<RecognitionModel> m_model;
    QString m_path;
    std::optional<std::pair<QString, std::exception_ptr>> m_failure;
};
