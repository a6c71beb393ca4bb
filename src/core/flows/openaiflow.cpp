#include "core/flows/openaiflow.h"

#include "core/editing/openaieditor.h"

using namespace Qt::StringLiterals;

OpenAIFlow::OpenAIFlow(RealtimeTranscriberFactory makeTranscriber)
    : m_makeTranscriber(std::move(makeTranscriber))
{
}

std::optional<AbstractDictationFlow::KeyRequirement> OpenAIFlow::key() const
{
    return KeyRequirement { openAIKeyAccount, u"Добавьте OpenAI API key"_s };
}

std::unique_ptr<AbstractRealtimeTranscriber> OpenAIFlow::makeTranscriber(RealtimeTranscriberCallbacks callbacks)
{
    return m_makeTranscriber(std::move(callbacks));
}
