#include "core/detachedtask.h"

#include "core/describederror.h"
#include "core/logging.h"

#include <exception>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

// Takes its arguments by value, as it outlives its caller, and keeps co_await out of the catch
// handlers (GCC 12: docs/architecture.md, "Coroutines and GCC 12").
QCoro::Task<> guard(QCoro::Task<> task, std::function<void(const QString &)> onFailure)
{
    std::optional<QString> failure;
    QString kind;
    try {
        co_await task;
    } catch (const DescribedError &error) {
        failure = error.description();
        kind = error.kind();
    } catch (const std::exception &error) {
        failure = QString::fromUtf8(error.what());
        kind = errorKind(error);
    } catch (...) {
        failure = u"Внутренняя ошибка Ворсика."_s;
        kind = u"unknown"_s;
    }
    if (!failure)
        co_return;
    qCWarning(lcCore) << "a background step failed:" << kind;
    if (onFailure)
        onFailure(*failure);
}

} // namespace

void startDetached(QCoro::Task<> task, std::function<void(const QString &description)> onFailure)
{
    guard(std::move(task), std::move(onFailure));
}
