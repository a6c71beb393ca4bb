#include "services/server/recognitionservererror.h"

using namespace Qt::StringLiterals;

QString RecognitionServerError::describe(Case errorCase, const QString &message)
{
    switch (errorCase) {
    case Case::badAddress:
        return u"Адрес сервера распознавания «%1» не подходит: нужен адрес вида https://сервер:порт."_s.arg(message);
    case Case::unencrypted:
        return u"Сервер распознавания %1 указан без шифрования (http://): запись пошла бы по сети открыто. Укажите "
               "адрес https:// или отметьте в настройках «Разрешить без шифрования»."_s.arg(message);
    case Case::caFileUnreadable:
        return u"Не удалось прочитать сертификаты из файла %1."_s.arg(message);
    case Case::noModel:
        return u"Сервер распознавания не назвал своих моделей: укажите модель в настройках."_s;
    case Case::unreachable:
        return u"Сервер распознавания %1 не отвечает."_s.arg(message);
    case Case::untrusted:
        return u"Сервер распознавания %1 не подтвердил, что он тот, за кого себя выдаёт: его сертификат не "
               "проверен. Если сертификат выдан центром сертификации компании, укажите файл этого центра в "
               "настройках."_s.arg(message);
    case Case::connectionLost:
        return u"Связь с сервером распознавания прервалась."_s;
    case Case::unauthorized:
        return u"Сервер распознавания не принял ключ (ответ %1). Проверьте ключ в связке ключей "
               "(account recognition-server-key)."_s.arg(message);
    case Case::unknownModel:
        return u"На сервере распознавания нет модели «%1». Проверьте имя модели в настройках."_s.arg(message);
    case Case::tooLarge:
        return u"Сервер распознавания не принимает отрывки записи такой длины."_s;
    case Case::busy:
        return u"Сервер распознавания перегружен и не принял отрывок записи."_s;
    case Case::serverFailed:
        return u"Сервер распознавания ответил ошибкой %1."_s.arg(message);
    case Case::badAnswer:
        return u"Сервер распознавания ответил не так, как отвечает API распознавания OpenAI."_s;
    case Case::tooSlow:
        return u"Сервер распознавания не успел распознать отрывок записи за %1 с."_s.arg(message);
    }
    return {};
}

bool RecognitionServerError::endsDictation() const
{
    switch (errorCase()) {
    case Case::tooLarge:
    case Case::busy:
    case Case::serverFailed:
    case Case::badAnswer:
    case Case::tooSlow:
        return false;
    default:
        return true;
    }
}
