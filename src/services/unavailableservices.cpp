#include "unavailableservices.h"

#include "describederror.h"

using namespace Qt::StringLiterals;

namespace {
[[noreturn]] void unavailable(const QString &what)
{
    throw DescribedError(what + u" пока недоступно в этой сборке."_s);
}
} // namespace

QCoro::Task<QString> UnavailableTextPolisher::polish(QString, SmartMode, TextPolisher::Quality, QString, QStringList,
                                                     QString)
{
    unavailable(u"Редактирование текста"_s);
    co_return QString();
}

QCoro::Task<void> UnavailableRealtimeTranscriber::connect(QString, QString, QStringList)
{
    unavailable(u"Распознавание через OpenAI"_s);
    co_return;
}
