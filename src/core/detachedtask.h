#pragma once

#include <QCoro/QCoroTask>

#include <QString>

#include <functional>

// Lets `task` run on without an owner. QCoro keeps the exception of a task nobody
// awaits where nobody reads it, so every throw is caught here and its description
// handed to `onFailure` (on the thread the task finished on).
void startDetached(QCoro::Task<> task, std::function<void(const QString &description)> onFailure);
