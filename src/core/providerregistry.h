#pragma once

#include "core/abstractbackendconfiguration.h"
#include "core/abstractgigachatclient.h"
#include "core/abstractkeychain.h"
#include "core/abstractlocalrecognition.h"
#include "core/abstractpcmcollector.h"
#include "core/abstractrealtimetranscriber.h"
#include "core/abstracttextpolisher.h"
#include "core/abstractvorsikapiclient.h"
#include "core/editing/abstracttexteditor.h"
#include "core/enums.h"
#include "core/flows/abstractdictationflow.h"

#include <functional>
#include <map>
#include <memory>
#include <vector>

// What the providers are made of; the composition root fills it in.
struct ProviderServices {
    AbstractBackendConfiguration *backendConfiguration = nullptr;
    std::function<std::unique_ptr<AbstractPCMCollector>()> makeCollector;
    RealtimeTranscriberFactory makeTranscriber;
    AbstractVorsikAPIClient *vorsikAPIClient = nullptr;
    AbstractGigaChatClient *gigaChatClient = nullptr;
    AbstractTextPolisher *textPolisher = nullptr;
    // Recognition on this computer (or on the user's server, which stands in for it).
    AbstractLocalRecognition *localRecognition = nullptr;
};

// One provider as a dictation sees it: how it recognises and who edits its text.
struct Provider {
    AbstractDictationFlow *flow = nullptr;
    AbstractTextEditor *editor = nullptr;
};

// The providers by the key the settings store; owns their flows and editors.
class ProviderRegistry {
public:
    // `choose` is asked at each dictation's start, so a provider may pick its way then.
    void add(AIProvider key, std::function<Provider()> choose) { m_providers[key] = std::move(choose); }
    template<typename T> T *keep(std::unique_ptr<T> part)
    {
        T *kept = part.get();
        m_parts.emplace_back(std::move(part));
        return kept;
    }
    // An unregistered key dictates the own backend's way.
    Provider find(AIProvider key) const;

private:
    std::map<AIProvider, std::function<Provider()>> m_providers;
    std::vector<std::shared_ptr<void>> m_parts;
};

// Every provider of the program, registered once. `keys` are the dictation's own reads of
// the keyring, shared by its recognition and its editing.
ProviderRegistry registerProviders(const ProviderServices &services, AbstractKeychain *keys);
