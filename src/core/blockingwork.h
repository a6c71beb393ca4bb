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

} // namespace BlockingWork
