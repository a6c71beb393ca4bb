#include "services/vorsik/vorsikapierror.h"

using namespace Qt::StringLiterals;

QString VorsikAPIError::describe(Case errorCase, const QString &message)
{
    switch (errorCase) {
    case Case::network:
        return u"Не удалось подключиться к серверу Ворсика: "_s + message;
    case Case::server:
        return message;
    case Case::emptyAudio:
        return u"Запись получилась пустой."_s;
    case Case::notConfigured:
        return u"Российский контур Ворсика ещё не настроен в этой сборке."_s;
    case Case::invalidResponse:
        return u"Сервер Ворсика вернул некорректный ответ."_s;
    case Case::unauthorized:
        return u"Установка Ворсика не авторизована."_s;
    }
    return {};
}
