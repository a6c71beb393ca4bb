#include "services/gigachat/gigachaterror.h"

#include "audio/wavencoder.h"

using namespace Qt::StringLiterals;

QString GigaChatError::describe(Case errorCase, const QString &message)
{
    switch (errorCase) {
    case Case::network:
        return u"Не удалось подключиться к GigaChat: "_s + message;
    case Case::api:
        return u"GigaChat: "_s + message;
    case Case::invalidURL:
        return u"Некорректный адрес GigaChat API."_s;
    case Case::missingKey:
        return u"Добавьте Authorization Key GigaChat."_s;
    case Case::emptyAudio:
        return u"Запись получилась пустой."_s;
    case Case::audioTooLong:
        return WAVEncoderError().description();
    case Case::invalidResponse:
        return u"GigaChat вернул некорректный ответ."_s;
    case Case::emptyResponse:
        return u"GigaChat не вернул распознанный текст."_s;
    case Case::certificateRequired:
        return u"GigaChat отклонил сертификат соединения. Встроенный сертификат не прошёл проверку."_s;
    }
    return {};
}
