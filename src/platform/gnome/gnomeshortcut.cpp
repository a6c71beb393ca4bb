#include "platform/gnome/gnomeshortcut.h"

#include "core/blockingwork.h"

#include <QHash>
#include <QKeySequence>
#include <QStringList>

#include <gio/gio.h>

#include <algorithm>
#include <utility>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

const char mediaKeysSchema[] = "org.gnome.settings-daemon.plugins.media-keys";
const char customSchema[] = "org.gnome.settings-daemon.plugins.media-keys.custom-keybinding";
const char listKey[] = "custom-keybindings";
const char *const entryKeys[] = { "name", "command", "binding" };
// Where GNOME keeps the shortcuts it answers itself; a schema that is not installed is skipped.
const char *const builtInSchemas[] = { mediaKeysSchema, "org.gnome.desktop.wm.keybindings",
    "org.gnome.mutter.keybindings", "org.gnome.mutter.wayland.keybindings", "org.gnome.shell.keybindings" };

// Keys whose X keysym name is not simply the letter, digit or F-number.
const std::pair<Qt::Key, const char *> namedKeys[] = {
    { Qt::Key_Space, "space" },
    { Qt::Key_Return, "Return" },
    { Qt::Key_Enter, "KP_Enter" },
    { Qt::Key_Tab, "Tab" },
    { Qt::Key_Backspace, "BackSpace" },
    { Qt::Key_Escape, "Escape" },
    { Qt::Key_Insert, "Insert" },
    { Qt::Key_Delete, "Delete" },
    { Qt::Key_Home, "Home" },
    { Qt::Key_End, "End" },
    { Qt::Key_PageUp, "Page_Up" },
    { Qt::Key_PageDown, "Page_Down" },
    { Qt::Key_Left, "Left" },
    { Qt::Key_Right, "Right" },
    { Qt::Key_Up, "Up" },
    { Qt::Key_Down, "Down" },
    { Qt::Key_Print, "Print" },
    { Qt::Key_Pause, "Pause" },
    { Qt::Key_ScrollLock, "Scroll_Lock" },
    { Qt::Key_Menu, "Menu" },
    { Qt::Key_Minus, "minus" },
    { Qt::Key_Equal, "equal" },
    { Qt::Key_BracketLeft, "bracketleft" },
    { Qt::Key_BracketRight, "bracketright" },
    { Qt::Key_Semicolon, "semicolon" },
    { Qt::Key_Apostrophe, "apostrophe" },
    { Qt::Key_QuoteLeft, "grave" },
    { Qt::Key_Backslash, "backslash" },
    { Qt::Key_Comma, "comma" },
    { Qt::Key_Period, "period" },
    { Qt::Key_Slash, "slash" },
    { Qt::Key_VolumeUp, "XF86AudioRaiseVolume" },
    { Qt::Key_VolumeDown, "XF86AudioLowerVolume" },
    { Qt::Key_VolumeMute, "XF86AudioMute" },
    { Qt::Key_MicMute, "XF86AudioMicMute" },
    { Qt::Key_MediaPlay, "XF86AudioPlay" },
    { Qt::Key_LaunchA, "XF86Launch1" },
};

// Qt's Meta is the key GNOME calls Super.
const std::pair<Qt::KeyboardModifier, const char *> modifierNames[] = {
    { Qt::ControlModifier, "Control" },
    { Qt::AltModifier, "Alt" },
    { Qt::ShiftModifier, "Shift" },
    { Qt::MetaModifier, "Super" },
};

// Tried in turn for the suggestion; the first one GNOME does not use wins.
const char *const candidates[]
    = { "<Control><Alt>space", "<Super><Alt>d", "<Control><Super>space", "<Control><Alt>d", "<Super>F12" };

QString keyName(Qt::Key key)
{
    if (key >= Qt::Key_A && key <= Qt::Key_Z)
        return QString(QChar(u'a' + (key - Qt::Key_A)));
    if (key >= Qt::Key_0 && key <= Qt::Key_9)
        return QString(QChar(u'0' + (key - Qt::Key_0)));
    if (key >= Qt::Key_F1 && key <= Qt::Key_F35)
        return u"F%1"_s.arg(key - Qt::Key_F1 + 1);
    for (const auto &[qtKey, name] : namedKeys)
        if (qtKey == key)
            return QString::fromLatin1(name);
    return {};
}

// Keys that type something: alone or with Shift only they would stop typing everywhere.
bool types(Qt::Key key) { return key >= Qt::Key_Space && key <= Qt::Key_AsciiTilde; }

// One spelling for comparing: GNOME accepts aliases (<Primary>, <Ctrl>), any order and either case.
QString normalised(const QString &accelerator)
{
    static const QHash<QString, QString> aliases { { u"primary"_s, u"control"_s }, { u"ctrl"_s, u"control"_s },
        { u"mod1"_s, u"alt"_s }, { u"mod4"_s, u"super"_s } };
    QStringList modifiers;
    QString rest = accelerator.trimmed();
    while (rest.startsWith(u'<') && rest.indexOf(u'>') > 0) {
        const QString modifier = rest.mid(1, rest.indexOf(u'>') - 1).toLower();
        modifiers.append(aliases.value(modifier, modifier));
        rest = rest.mid(rest.indexOf(u'>') + 1);
    }
    modifiers.sort();
    modifiers.removeDuplicates();
    return modifiers.join(u'+') + u'|' + rest.toLower();
}

struct GStrvDeleter {
    void operator()(gchar **strings) const { g_strfreev(strings); }
};
using Strings = std::unique_ptr<gchar *, GStrvDeleter>;
struct GObjectDeleter {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using Settings = std::unique_ptr<GSettings, GObjectDeleter>;
struct GFreeDeleter {
    void operator()(gpointer memory) const { g_free(memory); }
};

bool schemaInstalled(const char *schema)
{
    GSettingsSchemaSource *source = g_settings_schema_source_get_default();
    GSettingsSchema *found = source ? g_settings_schema_source_lookup(source, schema, TRUE) : nullptr;
    if (found)
        g_settings_schema_unref(found);
    return found != nullptr;
}

QString stringOf(GSettings *settings, const char *key)
{
    const std::unique_ptr<gchar, GFreeDeleter> value(g_settings_get_string(settings, key));
    return QString::fromUtf8(value.get());
}

QStringList entryPaths(GSettings *mediaKeys)
{
    QStringList paths;
    const Strings list(g_settings_get_strv(mediaKeys, listKey));
    for (gchar **path = list.get(); *path; ++path)
        paths.append(QString::fromUtf8(*path));
    return paths;
}

Settings customEntry(const QString &path)
{
    return Settings(g_settings_new_with_path(customSchema, path.toUtf8().constData()));
}

// Every accelerator in use, normalised, with what uses it as the user would recognise it:
// the name of a custom shortcut, else the summary of GNOME's own key.
QHash<QString, QString> acceleratorsInUse()
{
    QHash<QString, QString> used;
    for (const char *schemaId : builtInSchemas) {
        if (!schemaInstalled(schemaId))
            continue;
        const Settings settings(g_settings_new(schemaId));
        GSettingsSchema *schema = nullptr;
        g_object_get(settings.get(), "settings-schema", &schema, nullptr);
        const Strings keys(g_settings_schema_list_keys(schema));
        for (gchar **key = keys.get(); *key; ++key) {
            if (qstrcmp(*key, listKey) == 0)
                continue;
            GSettingsSchemaKey *schemaKey = g_settings_schema_get_key(schema, *key);
            const QString summary = QString::fromUtf8(g_settings_schema_key_get_summary(schemaKey));
            g_settings_schema_key_unref(schemaKey);
            GVariant *value = g_settings_get_value(settings.get(), *key);
            QStringList accelerators;
            if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING_ARRAY)) {
                const std::unique_ptr<const gchar *, GFreeDeleter> strings(g_variant_get_strv(value, nullptr));
                for (const gchar **string = strings.get(); *string; ++string)
                    accelerators.append(QString::fromUtf8(*string));
            } else if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)) {
                accelerators.append(QString::fromUtf8(g_variant_get_string(value, nullptr)));
            }
            g_variant_unref(value);
            for (const QString &accelerator : std::as_const(accelerators))
                if (!accelerator.isEmpty())
                    used.insert(normalised(accelerator), summary.isEmpty() ? QString::fromUtf8(*key) : summary);
        }
        g_settings_schema_unref(schema);
    }
    const Settings mediaKeys(g_settings_new(mediaKeysSchema));
    for (const QString &path : entryPaths(mediaKeys.get())) {
        if (path == GnomeShortcut::entryPath)
            continue;
        const Settings entry = customEntry(path);
        const QString binding = stringOf(entry.get(), "binding");
        if (!binding.isEmpty())
            used.insert(normalised(binding), stringOf(entry.get(), "name"));
    }
    return used;
}

// As the key sequence field beside the message shows it.
QString displayed(QKeyCombination keys) { return QKeySequence(keys).toString(QKeySequence::NativeText); }

} // namespace

GnomeShortcut::GnomeShortcut(QString program)
{
    // GNOME splits the command as a shell would; a plain path needs no quotes, which keeps it readable
    // in GNOME Settings.
    const bool plain = std::all_of(program.cbegin(), program.cend(),
        [](QChar c) { return c.isLetterOrNumber() || QStringView(u"/._-+").contains(c); });
    if (!plain) {
        const std::unique_ptr<gchar, GFreeDeleter> quoted(g_shell_quote(program.toUtf8().constData()));
        program = QString::fromUtf8(quoted.get());
    }
    m_command = program + u" --toggle"_s;
}

bool GnomeShortcut::isAvailable() const
{
    return qEnvironmentVariable("XDG_CURRENT_DESKTOP").contains(u"GNOME"_s) && schemaInstalled(mediaKeysSchema)
        && schemaInstalled(customSchema);
}

std::optional<QKeyCombination> GnomeShortcut::current() const
{
    if (!isAvailable())
        return std::nullopt;
    if (m_pending && !m_written.isFinished())
        return m_pending;
    const Settings mediaKeys(g_settings_new(mediaKeysSchema));
    if (!entryPaths(mediaKeys.get()).contains(entryPath))
        return std::nullopt;
    return keys(stringOf(customEntry(entryPath).get(), "binding"));
}

QKeyCombination GnomeShortcut::suggestion() const
{
    const QHash<QString, QString> used = isAvailable() ? acceleratorsInUse() : QHash<QString, QString>();
    for (const char *candidate : candidates)
        if (!used.contains(normalised(QString::fromLatin1(candidate))))
            return *keys(QString::fromLatin1(candidate));
    return *keys(QString::fromLatin1(candidates[0]));
}

ToggleShortcut::Result GnomeShortcut::assign(QKeyCombination keys)
{
    if (!isAvailable())
        return { u"Сочетания клавиш для команд здесь назначить нельзя: это не GNOME."_s };
    const Accelerator wanted = accelerator(keys);
    if (!wanted.error.isEmpty())
        return { wanted.error };
    const QHash<QString, QString> used = acceleratorsInUse();
    if (const auto user = used.constFind(normalised(wanted.name)); user != used.cend())
        return { u"Сочетание %1 уже занято: «%2». Выберите другое."_s.arg(displayed(keys), *user) };

    const Settings entry = customEntry(entryPath);
    const Settings mediaKeys(g_settings_new(mediaKeysSchema));
    const bool writable = g_settings_is_writable(mediaKeys.get(), listKey)
        && std::all_of(std::begin(entryKeys), std::end(entryKeys),
            [&](const char *key) { return g_settings_is_writable(entry.get(), key); });
    if (!writable)
        return { u"GNOME не дал изменить свои сочетания клавиш: настройки закрыты для записи."_s };
    m_pending = keys;
    // Written on a worker, each write after the one before: the settings store answers in its own time.
    m_written = BlockingWork::run([previous = m_written, command = m_command, binding = wanted.name]() mutable {
        previous.waitForFinished();
        const Settings entry = customEntry(entryPath);
        const Settings mediaKeys(g_settings_new(mediaKeysSchema));
        // The entry is complete before the list names it: the settings daemon reads it as soon as it is listed.
        bool written = g_settings_set_string(entry.get(), "name", "Ворсик: диктовка")
            && g_settings_set_string(entry.get(), "command", command.toUtf8().constData())
            && g_settings_set_string(entry.get(), "binding", binding.toUtf8().constData());
        QStringList paths = entryPaths(mediaKeys.get());
        if (written && !paths.contains(entryPath)) {
            paths.append(entryPath);
            QList<QByteArray> encoded;
            for (const QString &path : std::as_const(paths))
                encoded.append(path.toUtf8());
            std::vector<const gchar *> list;
            for (const QByteArray &path : std::as_const(encoded))
                list.push_back(path.constData());
            list.push_back(nullptr);
            written = g_settings_set_strv(mediaKeys.get(), listKey, list.data());
        }
        // dconf writes in the background; the program may be asked to quit right after.
        g_settings_sync();
        if (!written)
            qWarning("GNOME did not store the dictation shortcut");
        return written;
    });
    return {};
}

GnomeShortcut::Accelerator GnomeShortcut::accelerator(QKeyCombination keys)
{
    const QString key = keyName(keys.key());
    if (key.isEmpty())
        return { {},
            u"У этой клавиши нет имени, понятного GNOME. Выберите другую — например, латинскую букву "
            "в английской раскладке."_s };
    const Qt::KeyboardModifiers modifiers = keys.keyboardModifiers();
    if (types(keys.key()) && !(modifiers & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)))
        return { {}, u"Добавьте Ctrl, Alt или Super: одна такая клавиша перестала бы печатать."_s };
    QString name;
    for (const auto &[modifier, modifierName] : modifierNames)
        if (modifiers & modifier)
            name += u'<' + QString::fromLatin1(modifierName) + u'>';
    return { name + key, {} };
}

std::optional<QKeyCombination> GnomeShortcut::keys(const QString &accelerator)
{
    const QString spelled = normalised(accelerator);
    Qt::KeyboardModifiers modifiers;
    for (const QString &modifier : spelled.section(u'|', 0, 0).split(u'+', Qt::SkipEmptyParts)) {
        const auto known = std::find_if(std::begin(modifierNames), std::end(modifierNames),
            [&](const auto &entry) { return modifier.compare(QLatin1String(entry.second), Qt::CaseInsensitive) == 0; });
        if (known == std::end(modifierNames))
            return std::nullopt;
        modifiers |= known->first;
    }
    const QString key = spelled.section(u'|', 1);
    const QChar first = key.isEmpty() ? QChar() : key.front();
    bool isNumber = false;
    const int function = key.mid(1).toInt(&isNumber);
    if (key.size() == 1 && first >= u'a' && first <= u'z')
        return QKeyCombination(modifiers, Qt::Key(Qt::Key_A + (first.unicode() - u'a')));
    if (key.size() == 1 && first >= u'0' && first <= u'9')
        return QKeyCombination(modifiers, Qt::Key(Qt::Key_0 + (first.unicode() - u'0')));
    if (first == u'f' && isNumber && function >= 1 && function <= 35)
        return QKeyCombination(modifiers, Qt::Key(Qt::Key_F1 + function - 1));
    for (const auto &[qtKey, name] : namedKeys)
        if (key.compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
            return QKeyCombination(modifiers, qtKey);
    return std::nullopt;
}
