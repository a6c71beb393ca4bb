#include "services/local/localrecognitionerror.h"

using namespace Qt::StringLiterals;

QString LocalRecognitionError::describe(Case errorCase, const QString &message)
{
    switch (errorCase) {
    case Case::modelMissing:
        return u"Файл модели распознавания не найден: %1. Установите модель заново в настройках."_s.arg(message);
    case Case::modelUnreadable:
        return u"Файл модели распознавания повреждён или это не модель распознавания речи: %1. Установите модель заново в настройках."_s
            .arg(message);
    case Case::modelUnsupported:
        return u"Модель такого вида Ворсик не запускает: %1. Выберите модель из списка в настройках."_s.arg(message);
    case Case::notEnoughMemory:
        return u"Не хватает памяти, чтобы загрузить модель распознавания (%1). Закройте другие программы или выберите модель поменьше."_s
            .arg(message);
    case Case::engineMissing:
        return u"Не найдены файлы движка распознавания рядом с программой. Переустановите Ворсика."_s;
    case Case::recognitionFailed:
        return u"Распознавание речи на этом компьютере не удалось."_s;
    case Case::languageUnsupported:
        return u"Выбранная модель не распознаёт язык «%1». Выберите в настройках другой язык речи или другую модель."_s
            .arg(message);
    case Case::audioUnreadable:
        return u"Не удалось прочитать звук: %1"_s.arg(message);
    }
    return {};
}
