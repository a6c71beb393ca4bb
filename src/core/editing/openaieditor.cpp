#include "core/editing/openaieditor.h"

#include "core/appsettings.h"
#include "core/describederror.h"
#include "core/logging.h"

OpenAIEditor::OpenAIEditor(
    AbstractKeychain *keys, AbstractTextPolisher *polisher, AbstractTextEditor *fallback, std::function<bool()> offered)
    : m_keys(keys)
    , m_polisher(polisher)
    , m_fallback(fallback)
    , m_offered(std::move(offered))
{
}

QCoro::Task<std::optional<QString>> OpenAIEditor::edit(QString text, SmartMode mode, DictationContext context)
{
    if (mode == SmartMode::verbatim)
        co_return text;
    if (m_offered && !m_offered())
        co_return co_await m_fallback->edit(text, mode, context); // the keyring is not even asked
    const std::optional<QString> apiKey = co_await m_keys->read(openAIKeyAccount);
    if (!context.isCurrent())
        co_return std::nullopt;
    if (!apiKey || apiKey->isEmpty())
        co_return co_await m_fallback->edit(text, mode, context);
    context.onEditing();
    std::optional<QString> polished;
    try {
        polished = co_await m_polisher->polish(text, mode, AppSettings::textQuality(),
            AppSettings::transcriptionPrompt(), AppSettings::customVocabulary(), *apiKey);
    } catch (const std::exception &error) {
        // polishing is optional: the unedited transcript goes on
        qCWarning(lcCore) << "dictation" << context.session << "polishing failed:" << errorKind(error);
    }
    if (!context.owner)
        co_return std::nullopt;
    if (polished)
        co_return *polished;
    co_return co_await m_fallback->edit(text, mode, context);
}
