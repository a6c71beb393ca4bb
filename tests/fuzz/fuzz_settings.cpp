#include "appsettings.h"

#include <QDir>
#include <QFile>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

// The settings file is whatever the user or another program left there.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir home;
    static const bool configured = qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    (void)configured;
    const QString directory = home.path() + QStringLiteral("/plumrest");
    QDir().mkpath(directory);
    QFile file(directory + QStringLiteral("/Vorsik.conf"));
    if (!file.open(QIODevice::WriteOnly))
        return 0;
    file.write(reinterpret_cast<const char *>(data), qint64(size));

    if (const auto provider = AppSettings::aiProvider(); provider && !parseAIProvider(rawValue(*provider)))
        __builtin_trap();
    if (parseSmartMode(rawValue(AppSettings::smartMode())) != AppSettings::smartMode())
        __builtin_trap();
    (void)AppSettings::textQuality();
    (void)AppSettings::lastText();
    (void)AppSettings::customVocabulary();
    (void)AppSettings::transcriptionPrompt();
    (void)AppSettings::stringArray(AppSettings::Keys::recentTexts);
    (void)AppSettings::onboardingCompleted();
    return 0;
}
