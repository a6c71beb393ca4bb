#include "core/appsettings.h"
#include "fuzzing.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

// The settings file is whatever the user or another program left there.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir home;
    [[maybe_unused]] static const bool configured = qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    const QString directory = home.path() + QStringLiteral("/plumrest");
    QDir().mkpath(directory);
    QFile file(directory + QStringLiteral("/Vorsik.ini"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(fuzzBytes(data, size)) != qint64(size))
        return 0;
    file.close();

    if (const auto provider = AppSettings::aiProvider())
        FUZZ_EXPECT(parseAIProvider(rawValue(*provider)) == provider);
    FUZZ_EXPECT(parseSmartMode(rawValue(AppSettings::smartMode())) == AppSettings::smartMode());
    const auto last = AppSettings::lastText();
    FUZZ_EXPECT(!last || !last->isEmpty());
    // Each term goes to the recogniser on its own: never blank, never holding a separator.
    for (const QString &term : AppSettings::customVocabulary())
        FUZZ_EXPECT(!term.isEmpty() && term == term.trimmed() && !term.contains(u',') && !term.contains(u'\n'));
    return 0;
}
