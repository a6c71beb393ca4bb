#pragma once

#include <QFuture>
#include <QPromise>
#include <QThreadPool>

#include <exception>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

// The one kind of worker: a call that blocks (a peer that may never answer, a file to hash,
// a library without an asynchronous interface) runs here and is awaited through QCoro on the
// main thread. The pool grows as needed, so a call abandoned after its time-out holds one thread,
// not anyone else's turn.
namespace BlockingWork {

QThreadPool &pool();

// Runs `work` on the pool. What it throws is the future's exception (co_await rethrows it). What
// it captured is destroyed before the future finishes, so the last reference to anything shared
// stays with the caller, who tears it down on its own thread.
template<typename Work> auto run(Work work) -> QFuture<std::invoke_result_t<Work &>>
{
    using Result = std::invoke_result_t<Work &>;
    auto promise = std::make_shared<QPromise<Result>>();
    QFuture<Result> future = promise->future();
    promise->start();
    auto held = std::make_shared<std::optional<Work>>(std::move(work));
    pool().start([promise, held] {
        try {
            if constexpr (std::is_void_v<Result>)
                (**held)();
            else
                promise->addResult((**held)());
        } catch (...) {
            promise->setException(std::current_exception());
        }
        held->reset();
        promise->finish();
    });
    return future;
}

// The same for a thread that a library owns and serves work on from a queue of its own: `post`
// queues a callable there, false when that thread takes no more work. The future then finishes
// without a result, as it does when the work throws.
template<typename Post, typename Work> auto onOwnThread(Post &&post, Work work) -> QFuture<std::invoke_result_t<Work &>>
{
    using Result = std::invoke_result_t<Work &>;
    auto promise = std::make_shared<QPromise<Result>>();
    QFuture<Result> future = promise->future();
    promise->start();
    const bool queued = post([promise, work = std::move(work)]() mutable {
        try {
            if constexpr (std::is_void_v<Result>)
                work();
            else
                promise->addResult(work());
        } catch (...) {
            promise->setException(std::current_exception());
        }
        promise->finish();
    });
    if (!queued)
        promise->finish();
    return future;
}

} // namespace BlockingWork
