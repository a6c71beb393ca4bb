#include "core/flows/localflow.h"

#include "core/appsettings.h"

LocalFlow::LocalFlow(AbstractLocalRecognition *recognition)
    : m_recognition(recognition)
{
}

std::unique_ptr<AbstractRealtimeTranscriber> LocalFlow::makeTranscriber(RealtimeTranscriberCallbacks callbacks)
{
    // The mode is read at the start: in structured mode the recogniser marks paragraphs at long pauses.
    return m_recognition->makeTranscriber(std::move(callbacks), AppSettings::smartMode());
}
