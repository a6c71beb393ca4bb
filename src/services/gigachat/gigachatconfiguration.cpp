#include "services/gigachat/gigachatconfiguration.h"

#include "services/gigachat/gigachatcertificates.h"

#include <QMutex>
#include <QMutexLocker>

using namespace Qt::StringLiterals;

namespace {
QMutex replacementMutex;
std::optional<GigaChatConfiguration> replacement;
} // namespace

GigaChatConfiguration GigaChatConfiguration::production()
{
    GigaChatConfiguration configuration;
    configuration.oauthHost = u"ngw.devices.sberbank.ru"_s;
    configuration.apiHost = u"gigachat.devices.sberbank.ru"_s;
    configuration.oauthURL = QUrl(u"https://ngw.devices.sberbank.ru:9443/api/v2/oauth"_s);
    configuration.apiBaseURL = QUrl(u"https://gigachat.devices.sberbank.ru"_s);
    configuration.curlPath = u"/usr/bin/curl"_s;
    configuration.rootCertificateBase64 = GigaChatCertificates::rootBase64().toByteArray();
    configuration.subCertificateBase64 = GigaChatCertificates::subBase64().toByteArray();
    return configuration;
}

GigaChatConfiguration GigaChatConfiguration::current()
{
    // Read from the transport's workers while a test may be setting it.
    QMutexLocker lock(&replacementMutex);
    return replacement ? *replacement : production();
}

void GigaChatConfiguration::replaceForTesting(std::optional<GigaChatConfiguration> configuration)
{
    QMutexLocker lock(&replacementMutex);
    replacement = std::move(configuration);
}
