#include "appsettings.h"
#include "testutil.h"
#include "vorsikapiconfiguration.h"

#include <QUuid>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

TEST(VorsikAPIConfigurationTest, BaseURLFormsBothEndpointsOrNoneAndTheVersionNamesMissingParts)
{
    const std::pair<QString, QString> rows[]
        = { { QString(), {} }, { u"  "_s, {} }, { u"api.vorsik.ru"_s, {} }, { u"http://exa mple.ru"_s, {} },
              { u"file:///tmp/backend"_s, {} }, { u"https://api.vorsik.ru"_s, u"https://api.vorsik.ru/v1/"_s },
              { u"https://api.vorsik.ru/"_s, u"https://api.vorsik.ru/v1/"_s },
              { u"http://127.0.0.1:8080/ru/api"_s, u"http://127.0.0.1:8080/ru/api/v1/"_s } };
    for (const auto &[configured, prefix] : rows) {
        const VorsikAPIConfiguration configuration({ configured, u"1"_s, u"1"_s });
        EXPECT_EQ(configuration.isConfigured(), !prefix.isEmpty()) << configured.toStdString();
        EXPECT_EQ(configuration.installationsURL().value_or(QUrl()).toString(),
            prefix.isEmpty() ? QString() : prefix + u"installations"_s);
        EXPECT_EQ(configuration.dictationsURL().value_or(QUrl()).toString(),
            prefix.isEmpty() ? QString() : prefix + u"dictations"_s);
    }
    EXPECT_EQ(VorsikAPIConfiguration({ QString(), QString(), QString() }).appVersion(), u"macOS-unknown-unknown"_s);
    EXPECT_EQ(VorsikAPIConfiguration({ QString(), u"1.2"_s, QString() }).appVersion(), u"macOS-1.2-unknown"_s);
    EXPECT_EQ(VorsikAPIConfiguration({ QString(), QString(), u"34"_s }).appVersion(), u"macOS-unknown-34"_s);
}

TEST(VorsikAPIConfigurationTest, DeviceIDIsMadeOnceAndKept)
{
    TestUtil::clearSettings();
    const VorsikAPIConfiguration configuration;
    const QString first = configuration.deviceID();
    EXPECT_EQ(QUuid(first).toString(QUuid::WithoutBraces), first);
    EXPECT_EQ(VorsikAPIConfiguration().deviceID(), first);
    AppSettings::setString(AppSettings::Keys::deviceID, QString());
    const QString replaced = configuration.deviceID();
    EXPECT_TRUE(!QUuid(replaced).isNull() && replaced != first);
    AppSettings::setString(AppSettings::Keys::deviceID, u"Set-By-Hand"_s);
    EXPECT_EQ(configuration.deviceID(), u"Set-By-Hand"_s);
}
