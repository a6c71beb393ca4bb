#include "core/appsettings.h"
#include "testutil.h"

#include <QFileInfo>
#include <QSettings>

#include <sys/stat.h>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

class AppSettingsTest : public ::testing::Test {
protected:
    void SetUp() override { TestUtil::clearSettings(); }

    static void store(const QString &key, const QVariant &value)
    {
        QSettings(QSettings::IniFormat, QSettings::UserScope, u"plumrest"_s, u"Vorsik"_s).setValue(key, value);
    }
};

struct ParsedReading {
    const char *stored; // nullptr: key absent
    SmartMode mode;
    TextPolisher::Quality quality;
    std::optional<AIProvider> provider;
};
void PrintTo(const ParsedReading &r, std::ostream *out) { *out << (r.stored ? r.stored : "(absent)"); }

class ParsedSettingsTest : public AppSettingsTest, public ::testing::WithParamInterface<ParsedReading> { };

TEST_P(ParsedSettingsTest, ParseExactlyAndFallBackWhenAbsentOrUnparsable)
{
    const ParsedReading &reading = GetParam();
    if (reading.stored)
        for (const QString &key : { u"smartMode"_s, u"textQuality"_s, u"aiProvider"_s })
            store(key, QString::fromUtf8(reading.stored));
    EXPECT_EQ(AppSettings::smartMode(), reading.mode);
    EXPECT_EQ(AppSettings::textQuality(), reading.quality);
    EXPECT_EQ(AppSettings::aiProvider(), reading.provider);
}

using Quality = TextPolisher::Quality;
INSTANTIATE_TEST_SUITE_P(Values, ParsedSettingsTest,
    ::testing::Values(ParsedReading { nullptr, SmartMode::clean, Quality::accurate, std::nullopt },
        ParsedReading { "maximum", SmartMode::clean, Quality::maximum, std::nullopt },
        ParsedReading { "verbatim", SmartMode::verbatim, Quality::accurate, std::nullopt },
        ParsedReading { "structured", SmartMode::structured, Quality::accurate, std::nullopt },
        ParsedReading { "fast", SmartMode::clean, Quality::fast, std::nullopt },
        ParsedReading { "openAI", SmartMode::clean, Quality::accurate, AIProvider::openAI },
        ParsedReading { "vorsik", SmartMode::clean, Quality::accurate, AIProvider::vorsik },
        ParsedReading { "gigaChat", SmartMode::clean, Quality::accurate, AIProvider::gigaChat }));

TEST_F(AppSettingsTest, LastTextIsKeptTrimmedAndABlankOneChangesNothing)
{
    EXPECT_EQ(AppSettings::lastText(), std::nullopt);
    AppSettings::rememberLastText(u"  Привет, мир \n"_s);
    EXPECT_EQ(AppSettings::lastText(), u"Привет, мир"_s);
    AppSettings::rememberLastText(u"   \n\t "_s);
    EXPECT_EQ(AppSettings::lastText(), u"Привет, мир"_s);
}

struct VocabularyCase {
    const char *name;
    std::optional<QString> stored;
    QStringList expected;
};
void PrintTo(const VocabularyCase &c, std::ostream *out) { *out << c.name; }

class VocabularyTest : public AppSettingsTest, public ::testing::WithParamInterface<VocabularyCase> { };

TEST_P(VocabularyTest, SplitsAtCommasAndLineFeeds)
{
    if (GetParam().stored)
        store(u"customVocabulary"_s, *GetParam().stored);
    EXPECT_EQ(AppSettings::customVocabulary(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, VocabularyTest,
    ::testing::Values(
        VocabularyCase { "absent", std::nullopt, { u"ChatGPT"_s, u"Codex"_s, u"Claude"_s, u"macOS"_s, u"OpenAI"_s } },
        VocabularyCase { "empty", QString(), {} },
        VocabularyCase {
            "mixed", u" Ворсик,\nGigaChat , \n  , Qt 6\n\n"_s, { u"Ворсик"_s, u"GigaChat"_s, u"Qt 6"_s } }),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(AppSettingsTest, TextsFallBackOnlyWhenAbsent)
{
    EXPECT_EQ(AppSettings::transcriptionPrompt(), AppSettings::defaultTranscriptionPrompt());
    store(u"transcriptionPrompt"_s, QString());
    EXPECT_EQ(AppSettings::transcriptionPrompt(), QString());
    EXPECT_EQ(AppSettings::customVocabularyText(), AppSettings::defaultCustomVocabulary());
}

} // namespace

struct LocalReading {
    const char *stored; // nullptr: every key absent
    QString url, language;
    bool punctuation;
    int keepMinutes;
};
void PrintTo(const LocalReading &r, std::ostream *out) { *out << (r.stored ? r.stored : "(absent)"); }
class LocalSettingsTest : public AppSettingsTest, public ::testing::WithParamInterface<LocalReading> { };

TEST_P(LocalSettingsTest, FallBackWhenAbsentBlankOrUnparsable)
{
    const LocalReading &reading = GetParam();
    if (reading.stored)
        for (const QString &key :
            { u"localModelsURL"_s, u"localLanguage"_s, u"localSpokenPunctuation"_s, u"localModelKeepMinutes"_s })
            store(key, QString::fromUtf8(reading.stored));
    EXPECT_EQ(AppSettings::localModelsURL(), reading.url);
    EXPECT_EQ(AppSettings::localLanguage(), reading.language);
    EXPECT_EQ(AppSettings::localSpokenPunctuation(), reading.punctuation);
    EXPECT_EQ(AppSettings::localModelKeepMinutes(), reading.keepMinutes);
}

const QString hub = u"https://huggingface.co/ggerganov/whisper.cpp/resolve/main"_s;
INSTANTIATE_TEST_SUITE_P(Values, LocalSettingsTest,
    ::testing::Values(LocalReading { nullptr, hub, u"ru"_s, true, 5 }, LocalReading { " ", hub, u"ru"_s, true, 5 },
        LocalReading { "off", u"off"_s, u"off"_s, false, 5 }, LocalReading { "0", u"0"_s, u"0"_s, false, 5 },
        LocalReading { " 12 ", u"12"_s, u"12"_s, true, 12 }, LocalReading { "-3", u"-3"_s, u"-3"_s, true, 5 }));

// The file holds the installation token and the last text: its owner's alone, whatever the
// umask, and also when it was left readable before.
TEST(AppSettingsFile, IsTheOwnersAloneAfterEveryWrite)
{
    const QString path = QSettings(QSettings::IniFormat, QSettings::UserScope, u"plumrest"_s, u"Vorsik"_s).fileName();
    const auto ownerOnly
        = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser;
    const mode_t previous = ::umask(022);
    QFile::remove(path);
    AppSettings::rememberLastText(u"секрет"_s);
    EXPECT_EQ(QFileInfo(path).permissions(), ownerOnly);
    QFile::setPermissions(path, ownerOnly | QFileDevice::ReadGroup | QFileDevice::ReadOther);
    AppSettings::setString(AppSettings::Keys::installationToken, u"t"_s);
    EXPECT_EQ(QFileInfo(path).permissions(), ownerOnly);
    ::umask(previous);
}
