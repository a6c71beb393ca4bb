#include "services/openai/openaierrors.h"

using namespace Qt::StringLiterals;

QString TranscriptionError::describe(Case errorCase, const QString &)
{
    switch (errorCase) {
    case Case::invalidURL:
        return u"Некорректный адрес сервиса распознавания."_s;
    case Case::notConnected:
        return u"Нет соединения с сервисом распознавания."_s;
    case Case::invalidMessage:
        return u"Не удалось подготовить данные для распознавания."_s;
    case Case::connectionLost:
        return u"Соединение с распознаванием прервано."_s;
    }
    return {};
}

QString TextPolisherError::describe(Case errorCase, const QString &message)
{
    switch (errorCase) {
    case Case::api:
        return message;
    case Case::invalidURL:
        return u"Некорректный адрес редактора текста."_s;
    case Case::invalidResponse:
        return u"Редактор текста вернул некорректный ответ."_s;
    case Case::emptyResponse:
        return u"Редактор текста вернул пустой ответ."_s;
    }
    return {};
}
