#include "audiorecorder.h"

#include "describederror.h"

using namespace Qt::StringLiterals;

void AudioRecorder::start(PCMHandler)
{
    throw DescribedError(u"Запись с микрофона пока недоступна в этой сборке."_s);
}
