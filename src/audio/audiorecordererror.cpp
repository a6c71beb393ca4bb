#include "audio/audiorecordererror.h"

using namespace Qt::StringLiterals;

QString AudioRecorderError::describe(Case errorCase, const QString &message)
{
    switch (errorCase) {
    case Case::noInputDevice:
        return u"Микрофон не найден."_s;
    case Case::converterCreationFailed:
        return u"Не удалось подготовить формат звука."_s;
    case Case::soundServer:
        return u"Не удалось начать запись: "_s + message;
    }
    return {};
}
