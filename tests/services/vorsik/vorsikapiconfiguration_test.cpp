#include "appsettings.h"
#include "testutil.h"
#include "vorsikapiconfiguration.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

TEST(VorsikAPIConfigurationTest, BaseURLFormsBothEndpointsOrNone)
{
    const struct {
        QString configured;
        std::optional<QString> installations; // none: not configured
        std::optional<QString> dictations;
    } rows[] = {
        { QString(), {}, {} },
        { u"  "_s, {}, {} },
        { u"api.vorsik.ru"_s, {}, {} },
        { u"http://exa mple.ru"_s, {}, {} },
        { u"file:///tmp/backend"_s, {}, {} },
        { u"https://api.vorsik.ru"_s, u"https://api.vorsik.ru/v1/installations"_s,
            u"https://api.vorsik.ru/v1/dictations"_s },
        { u"https://api.vorsik.ru/"_s, u"https://api.vorsik.ru/v1/installations"_s,
            u"https://api.vorsik.ru/v1/dictations"_s },
        { u"http://127.0.0.1:8080/ru/api"_s, u"http://127.0.0.1:8080/ru/api/v1/installations"_s,
            u"http://127.0.0.1:8080/ru/api/v1/dictations"_s },
    };
    const auto text
        = [](const std::optional<QUrl> &url) { return url ? std::optional(url->toString()) : std::nullopt; };
    for (const auto &row : rows) {
        const VorsikAPIConfiguration configuration({ row.configured, u"1"_s, u"1"_s });
        EXPECT_EQ(configuration.isConfigured(), row.installations.has_value()) << row.configured.toStdString();
        EXPECT_EQ(text(configuration.installationsURL()), row.installations);
        EXPECT_EQ(text(configuration.dictationsURL()), row.dictations);
    }
}

TEST(VorsikAPIConfigurationTest, AppVersionNamesMissingPartsUnknown)
{
    const struct {
        QString shortVersion, buildNumber, expected;
    } rows[] = {
        { QString(), QString(), u"macOS-unknown-unknown"_s },
        { u"1.2"_s, QString(), u"macOS-1.2-unknown"_s },
        { QString(), u"34"_s, u"macOS-unknown-34"_s },
    };
    for (const auto &row : rows)
        EXPECT_EQ(VorsikAPIConfiguration({ QString(), row.shortVersion, row.buildNumber }).appVersion(), row.expected);
}

TEST(VorsikAPIConfigurationTest, DeviceIDIsMadeOnceAndKept)
{
    TestUtil::clearSettings();
    const VorsikAPIConfiguration configuration;
    const QString first = configuration.deviceID();
    EXPECT_TRUE(
        QRegularExpression(u"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"_s).match(first).hasMatch())
        << first.toStdString();
    EXPECT_EQ(VorsikAPIConfiguration().deviceID(), first);

    AppSettings::setString(AppSettings::Keys::deviceID, QString());
    const QString replaced = configuration.deviceID();
    EXPECT_EQ(replaced.size(), 36);
    EXPECT_NE(replaced, first);

    AppSettings::setString(AppSettings::Keys::deviceID, u"Set-By-Hand"_s);
    EXPECT_EQ(configuration.deviceID(), u"Set-By-Hand"_s);
}
