#pragma once

#include "core/blockingwork.h"
#include "insertion/accessibilitybackend.h"

#include <QDeadlineTimer>
#include <QFutureWatcher>
#include <QObject>
#include <QScopeGuard>
#include <QThread>

#include <QCoro/QCoroSignal>
#include <QCoro/QCoroTask>

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>

// The thread every call of the accessibility backend is made on, and the one way work gets
// there. The backend connects from it, so the accessibility bus's GLib context is dispatched by
// this thread's event loop; an application that answers slowly or never cannot hold up the main
// thread: its caller gets "nothing" once the work has taken its deadline.
class AccessibilityThread {
public:
    // Starts the thread and has the backend connect there at once, so that it follows focus
    // events from the start.
    explicit AccessibilityThread(AccessibilityBackend &backend);
    // Work still queued is dropped; a call in progress ends within its time-out.
    ~AccessibilityThread();
    AccessibilityThread(const AccessibilityThread &) = delete;
    AccessibilityThread &operator=(const AccessibilityThread &) = delete;

    // Runs the work there, with the backend's calls cut off at the deadline; nothing when it has
    // not finished by then.
    template<typename Result>
    QCoro::Task<std::optional<Result>> run(const std::function<Result()> &work, std::chrono::milliseconds timeout);

private:
    AccessibilityBackend &m_backend;
    QThread m_thread;
    QObject *m_context;
};

template<typename Result>
QCoro::Task<std::optional<Result>> AccessibilityThread::run(
    const std::function<Result()> &work, std::chrono::milliseconds timeout)
{
    const QDeadlineTimer deadline(timeout);
    QFuture<Result> future = BlockingWork::onOwnThread(
        [this](std::function<void()> queued) {
            return QMetaObject::invokeMethod(m_context, std::move(queued), Qt::QueuedConnection);
        },
        [this, deadline, work] {
            m_backend.setDeadline(deadline);
            const auto reset = qScopeGuard([this] { m_backend.setDeadline(QDeadlineTimer(QDeadlineTimer::Forever)); });
            return work();
        });

    QFutureWatcher<Result> watcher;
    watcher.setFuture(future);
    if (!future.isFinished()) {
        const auto left = std::chrono::milliseconds(std::max<qint64>(deadline.remainingTime(), 0));
        co_await qCoro(&watcher, &QFutureWatcherBase::finished, left);
    }
    if (!future.isResultReadyAt(0))
        co_return std::nullopt;
    co_return future.resultAt(0);
}
