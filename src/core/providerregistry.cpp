#include "core/providerregistry.h"

#include "core/appsettings.h"
#include "core/editing/openaieditor.h"
#include "core/editing/texteditors.h"
#include "core/flows/gigachatflow.h"
#include "core/flows/localflow.h"
#include "core/flows/openaiflow.h"
#include "core/flows/ownbackendflow.h"

Provider ProviderRegistry::find(AIProvider key) const
{
    auto found = m_providers.find(key);
    if (found == m_providers.end())
        found = m_providers.find(AIProvider::vorsik);
    return found == m_providers.end() ? Provider {} : found->second();
}

ProviderRegistry registerProviders(const ProviderServices &services, AbstractKeychain *keys)
{
    ProviderRegistry registry;
    AbstractTextEditor *asGiven = registry.keep(std::make_unique<ProviderEditedText>());

    // On this computer the local rules tidy the transcript; it goes to the OpenAI editor only
    // where the user turned that on in the settings (and a key is present): what the user
    // dictates leaves the computer only by their choice.
    const Provider onThisComputer { registry.keep(std::make_unique<LocalFlow>(services.localRecognition)),
        registry.keep(std::make_unique<OpenAIEditor>(keys, services.textPolisher,
            registry.keep(std::make_unique<LocalRulesEditor>(services.localRecognition)),
            [] { return AppSettings::boolValue(AppSettings::Keys::localEditWithOpenAI); })) };
    const Provider ownBackend {
        registry.keep(std::make_unique<OwnBackendFlow>(services.makeCollector, services.vorsikAPIClient)), asGiven
    };
    // No backend in this build: the speech is recognised on this computer.
    registry.add(AIProvider::vorsik, [backend = services.backendConfiguration, ownBackend, onThisComputer] {
        return backend->isConfigured() ? ownBackend : onThisComputer;
    });

    const Provider gigaChat {
        registry.keep(std::make_unique<GigaChatFlow>(services.makeCollector, keys, services.gigaChatClient)), asGiven
    };
    registry.add(AIProvider::gigaChat, [gigaChat] { return gigaChat; });

    const Provider openAI { registry.keep(std::make_unique<OpenAIFlow>(services.makeTranscriber)),
        registry.keep(std::make_unique<OpenAIEditor>(keys, services.textPolisher, asGiven)) };
    registry.add(AIProvider::openAI, [openAI] { return openAI; });
    return registry;
}
