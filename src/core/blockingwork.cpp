#include "core/blockingwork.h"

namespace BlockingWork {

QThreadPool &pool()
{
    // Threads wait, they do not compute: far more of them than cores is fine. Never destroyed: its
    // destructor would wait at exit for a call that was abandoned.
    static QThreadPool *const instance = [] {
        auto *threads = new QThreadPool;
        threads->setMaxThreadCount(64);
        threads->setObjectName(QStringLiteral("blocking work"));
        return threads;
    }();
    return *instance;
}

} // namespace BlockingWork
