#include "detachedtask.h"

#include "describederror.h"
#include "logging.h"

#include <exception>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

// Takes its arguments by value and keeps co_await out of the handlers: GCC 12 has
// mishandled coroutine frames with either shape.
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
