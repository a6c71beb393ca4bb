#include "services/openai/openaiconfiguration.h"

#include "vorsikbuildconfiguration.h"

using namespace Qt::StringLiterals;

OpenAIConfiguration::OpenAIConfiguration()
    : OpenAIConfiguration(QString::fromUtf8(VorsikBuildConfiguration::openAIBaseURL))
{
}

OpenAIConfiguration::OpenAIConfiguration(QString baseURL)
    : m_baseURL(std::move(baseURL))
{
}

std::optional<QUrl> OpenAIConfiguration::endpoint(const QString &path) const
{
    QUrl url(m_baseURL.trimmed(), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() || (scheme != u"https" && scheme != u"http"))
        return std::nullopt;
    QString base = url.path();
    if (base.endsWith(u'/'))
        base.chop(1);
    url.setPath(base + path);
    url.setQuery(QString());
    url.setFragment(QString());
    return url;
}

std::optional<QUrl> OpenAIConfiguration::realtimeURL() const
{
    std::optional<QUrl> url = endpoint(u"/v1/realtime"_s);
    if (url) {
        url->setScheme(url->scheme().toLower() == u"https" ? u"wss"_s : u"ws"_s);
        url->setQuery(u"intent=transcription"_s);
    }
    return url;
}

std::optional<QUrl> OpenAIConfiguration::responsesURL() const { return endpoint(u"/v1/responses"_s); }
