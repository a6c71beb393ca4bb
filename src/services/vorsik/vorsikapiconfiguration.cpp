#include "services/vorsik/vorsikapiconfiguration.h"

#include "core/appsettings.h"
#include "vorsikbuildconfiguration.h"

#include <QUuid>

using namespace Qt::StringLiterals;

namespace {

// The form of X-App-Version the backend reads for every client of this family.
constexpr QStringView appVersionPrefix = u"macOS-";

QString orUnknown(const QString &value) { return value.isEmpty() ? u"unknown"_s : value; }

} // namespace

VorsikAPIConfiguration::BuildValues VorsikAPIConfiguration::compiledBuildValues()
{
    return { QString::fromUtf8(VorsikBuildConfiguration::apiBaseURL),
        QString::fromUtf8(VorsikBuildConfiguration::shortVersion),
        QString::fromUtf8(VorsikBuildConfiguration::buildNumber) };
}

VorsikAPIConfiguration::VorsikAPIConfiguration()
    : VorsikAPIConfiguration(compiledBuildValues())
{
}

VorsikAPIConfiguration::VorsikAPIConfiguration(BuildValues values)
    : m_values(std::move(values))
{
}

std::optional<QUrl> VorsikAPIConfiguration::baseURL() const
{
    const QString text = m_values.baseURL.trimmed();
    if (text.isEmpty())
        return std::nullopt;
    const QUrl url(text, QUrl::StrictMode);
    // A value without scheme or host would only fail later with an obscure
    // transfer error; such a build counts as not configured instead.
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() || (scheme != u"https" && scheme != u"http"))
        return std::nullopt;
    return url;
}

bool VorsikAPIConfiguration::isConfigured() const { return baseURL().has_value(); }

std::optional<QUrl> VorsikAPIConfiguration::endpoint(const QString &pathComponent) const
{
    std::optional<QUrl> url = baseURL();
    if (!url)
        return std::nullopt;
    QString path = url->path();
    if (!path.endsWith(u'/'))
        path += u'/';
    url->setPath(path + pathComponent);
    return url;
}

std::optional<QUrl> VorsikAPIConfiguration::installationsURL() const { return endpoint(u"v1/installations"_s); }

std::optional<QUrl> VorsikAPIConfiguration::dictationsURL() const { return endpoint(u"v1/dictations"_s); }

QString VorsikAPIConfiguration::deviceID() const
{
    if (const std::optional<QString> stored = AppSettings::string(AppSettings::Keys::deviceID);
        stored && !stored->isEmpty())
        return *stored;
    const QString created = QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
    AppSettings::setString(AppSettings::Keys::deviceID, created);
    return created;
}

QString VorsikAPIConfiguration::appVersion() const
{
    return appVersionPrefix.toString() + orUnknown(m_values.shortVersion) + u'-' + orUnknown(m_values.buildNumber);
}
