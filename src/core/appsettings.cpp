#include "core/appsettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <fcntl.h>
#include <unistd.h>

#include <functional>

using namespace Qt::StringLiterals;

namespace AppSettings {

namespace {

// Opened for every access: QSettings re-reads the file when it changed on disk.
QSettings openStore() { return QSettings(QSettings::IniFormat, QSettings::UserScope, u"plumrest"_s, u"Vorsik"_s); }

QString trimmedWhitespace(const QString &text) { return text.trimmed(); }

} // namespace

QString defaultCustomVocabulary() { return u"ChatGPT, Codex, Claude, macOS, OpenAI"_s; }

QString defaultTranscriptionPrompt()
{
    return u"Личная диктовка на русском и английском языках: сообщения, письма, задачи и инструкции для программирования."_s;
}

std::optional<QString> string(QStringView key)
{
    const QVariant value = openStore().value(key.toString());
    switch (value.typeId()) {
    case QMetaType::QString:
        return value.toString();
    case QMetaType::QStringList:
        // A hand-edited INI line with unquoted commas reads back as a list.
        return value.toStringList().join(u", "_s);
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::Double:
    case QMetaType::Bool:
        return value.toString();
    default:
        return std::nullopt;
    }
}

std::optional<QStringList> stringArray(QStringView key)
{
    const QVariant value = openStore().value(key.toString());
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList();
    if (value.typeId() == QMetaType::QVariantList) {
        QStringList list;
        for (const QVariant &element : value.toList()) {
            if (element.typeId() != QMetaType::QString)
                return std::nullopt;
            list.append(element.toString());
        }
        return list;
    }
    return std::nullopt;
}

bool boolValue(QStringView key)
{
    const QVariant value = openStore().value(key.toString());
    if (value.typeId() == QMetaType::Bool)
        return value.toBool();
    if (value.typeId() == QMetaType::QString) {
        const QString text = value.toString().trimmed();
        bool isNumber = false;
        const long long number = text.toLongLong(&isNumber);
        if (isNumber)
            return number != 0;
        return text.compare(u"true"_s, Qt::CaseInsensitive) == 0 || text.compare(u"yes"_s, Qt::CaseInsensitive) == 0;
    }
    return false;
}

namespace {

// The file holds the installation token and the last dictated text: only its owner may
// read it, whatever the umask, and also when an earlier version left it readable.
void changeStore(const std::function<void(QSettings &)> &change)
{
    QSettings store = openStore();
    const QString path = store.fileName();
    if (!QFileInfo::exists(path)) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0)
            ::close(fd);
    }
    change(store);
    store.sync();
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

} // namespace

void setString(QStringView key, const QString &value)
{
    changeStore([&](QSettings &store) { store.setValue(key.toString(), value); });
}
void setBool(QStringView key, bool value)
{
    changeStore([&](QSettings &store) { store.setValue(key.toString(), value); });
}
void remove(QStringView key)
{
    changeStore([&](QSettings &store) { store.remove(key.toString()); });
}

std::optional<QString> lastText()
{
    if (auto text = string(Keys::lastText); text && !text->isEmpty())
        return text;
    // An older list may start with a blank entry; that is no text to paste.
    if (auto recent = stringArray(Keys::recentTexts); recent && !recent->isEmpty() && !recent->first().isEmpty())
        return recent->first();
    return std::nullopt;
}

void rememberLastText(const QString &text)
{
    const QString trimmed = trimmedWhitespace(text);
    if (trimmed.isEmpty())
        return;
    changeStore([&](QSettings &store) {
        store.setValue(Keys::lastText.toString(), trimmed);
        store.remove(Keys::recentTexts.toString());
    });
}

QString customVocabularyText() { return string(Keys::customVocabulary).value_or(defaultCustomVocabulary()); }

QStringList customVocabulary()
{
    QStringList terms;
    const QString text = customVocabularyText();
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == u',' || text[i] == u'\n') {
            const QString piece = trimmedWhitespace(text.mid(start, i - start));
            if (!piece.isEmpty())
                terms.append(piece);
            start = i + 1;
        }
    }
    return terms;
}

QString transcriptionPrompt() { return string(Keys::transcriptionPrompt).value_or(defaultTranscriptionPrompt()); }

void setSmartMode(SmartMode mode) { setString(Keys::smartMode, rawValue(mode)); }

std::optional<AIProvider> aiProvider() { return parseAIProvider(string(Keys::aiProvider).value_or(QString())); }

SmartMode smartMode() { return parseSmartMode(string(Keys::smartMode).value_or(QString())).value_or(SmartMode::clean); }

TextPolisher::Quality textQuality()
{
    return parsePolishQuality(string(Keys::textQuality).value_or(QString())).value_or(TextPolisher::Quality::accurate);
}

bool onboardingCompleted() { return boolValue(Keys::onboardingCompleted); }

QString defaultLocalModelsURL() { return u"https://huggingface.co/ggerganov/whisper.cpp/resolve/main"_s; }

QString localModel() { return trimmedWhitespace(string(Keys::localModel).value_or(QString())); }

QString recognitionServerURL() { return string(Keys::recognitionServerURL).value_or(QString()).trimmed(); }

QString localModelsURL()
{
    const QString url = trimmedWhitespace(string(Keys::localModelsURL).value_or(QString()));
    return url.isEmpty() ? defaultLocalModelsURL() : url;
}

QString defaultLocalHubURL() { return u"https://huggingface.co"_s; }

QString localHubURL()
{
    const QString url = trimmedWhitespace(string(Keys::localHubURL).value_or(QString()));
    return url.isEmpty() ? defaultLocalHubURL() : url;
}

QString localLanguage()
{
    const QString language = trimmedWhitespace(string(Keys::localLanguage).value_or(QString()));
    return language.isEmpty() ? u"ru"_s : language;
}

namespace {

// A switch stored by the program or typed by hand: "false", "0", "no" and "off" turn it off.
bool switchValue(QStringView key, bool fallback)
{
    const std::optional<QString> value = string(key);
    if (!value)
        return fallback;
    const QString word = trimmedWhitespace(*value).toLower();
    if (word == u"false" || word == u"0" || word == u"no" || word == u"off")
        return false;
    if (word == u"true" || word == u"1" || word == u"yes" || word == u"on")
        return true;
    return fallback;
}

} // namespace

bool localSpokenPunctuation() { return switchValue(Keys::localSpokenPunctuation, true); }

int localModelKeepMinutes()
{
    bool ok = false;
    const int minutes = string(Keys::localModelKeepMinutes).value_or(QString()).toInt(&ok);
    return ok && minutes > 0 ? minutes : 5;
}

} // namespace AppSettings
