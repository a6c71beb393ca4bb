#include "services/server/serverrecognitionservice.h"

#include "core/appsettings.h"
#include "services/local/localcleanup.h"
#include "services/server/servertranscriber.h"

ServerRecognitionService::ServerRecognitionService(AbstractKeychain *keychain, std::function<QString()> localOffer)
    : m_keychain(keychain)
    , m_localOffer(std::move(localOffer))
{
}

RecognitionServerClient::Settings ServerRecognitionService::storedSettings()
{
    using namespace AppSettings;
    RecognitionServerClient::Settings settings;
    settings.url = QUrl(recognitionServerURL());
    settings.model = string(Keys::recognitionServerModel).value_or(QString()).trimmed();
    settings.caFile = string(Keys::recognitionServerCAFile).value_or(QString()).trimmed();
    settings.allowUnencrypted = boolValue(Keys::recognitionServerAllowUnencrypted);
    settings.language = localLanguage();
    return settings;
}

std::optional<QString> ServerRecognitionService::unavailableReason()
{
    const RecognitionServerClient::Settings settings = storedSettings();
    if (const auto problem = RecognitionServerClient::checkAddress(settings.url, settings.allowUnencrypted))
        return problem->description();
    return std::nullopt;
}

std::unique_ptr<AbstractRealtimeTranscriber> ServerRecognitionService::makeTranscriber(
    RealtimeTranscriberCallbacks callbacks, SmartMode mode)
{
    return std::make_unique<ServerTranscriber>(std::move(callbacks), m_keychain,
        ServerTranscriber::Settings { .server = storedSettings(),
            .spokenPunctuation = AppSettings::localSpokenPunctuation(),
            .paragraphsAtPauses = mode == SmartMode::structured,
            .localOffer = m_localOffer ? m_localOffer() : QString() });
}

QString ServerRecognitionService::cleanUp(const QString &text, SmartMode mode)
{
    return LocalCleanup::apply(text, mode);
}

RecognitionPlace::RecognitionPlace(AbstractLocalRecognition *here, AbstractLocalRecognition *server)
    : m_here(here)
    , m_server(server)
{
}

bool RecognitionPlace::onServer() { return !AppSettings::recognitionServerURL().isEmpty(); }
