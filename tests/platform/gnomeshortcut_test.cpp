// GNOME's custom keyboard shortcut for `verbulo --toggle`, written through the real GSettings with the
// settings daemon's own schema into the test's key file (GSETTINGS_BACKEND=keyfile under the test's
// XDG_CONFIG_HOME, set by the test main), never the user's settings.
#include "platform/gnome/gnomeshortcut.h"
#include "testutil.h"

#include <gio/gio.h>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

const char listSchema[] = "org.gnome.settings-daemon.plugins.media-keys";
const char entrySchema[] = "org.gnome.settings-daemon.plugins.media-keys.custom-keybinding";
const QString usersPath = u"/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/custom0/"_s;

QString read(const QString &path, const char *key)
{
    g_autoptr(GSettings) entry = g_settings_new_with_path(entrySchema, path.toUtf8().constData());
    g_autofree gchar *value = g_settings_get_string(entry, key);
    return QString::fromUtf8(value);
}

void write(const QString &path, const char *key, const QString &value)
{
    g_autoptr(GSettings) entry = g_settings_new_with_path(entrySchema, path.toUtf8().constData());
    g_settings_set_string(entry, key, value.toUtf8().constData());
}

QStringList list()
{
    g_autoptr(GSettings) settings = g_settings_new(listSchema);
    g_auto(GStrv) paths = g_settings_get_strv(settings, "custom-keybindings");
    QStringList result;
    for (gchar **path = paths; *path; ++path)
        result.append(QString::fromUtf8(*path));
    return result;
}

// Empty, or the user's one entry.
void setList(bool withUsers)
{
    const QByteArray path = usersPath.toUtf8();
    const gchar *const paths[] = { withUsers ? path.constData() : nullptr, nullptr };
    g_autoptr(GSettings) settings = g_settings_new(listSchema);
    g_settings_set_strv(settings, "custom-keybindings", paths);
}

class GnomeShortcutTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qputenv("XDG_CURRENT_DESKTOP", "ubuntu:GNOME");
        if (!shortcut.isAvailable())
            GTEST_SKIP() << "needs GNOME's media-keys schema (gnome-settings-daemon-common)";
        setList(false);
        for (const QString &path : { usersPath, GnomeShortcut::entryPath })
            for (const char *key : { "name", "command", "binding" })
                write(path, key, QString());
    }

    // The user's own shortcut, made in GNOME Settings before.
    void addUsersTerminal()
    {
        write(usersPath, "name", u"Terminal"_s);
        write(usersPath, "command", u"gnome-terminal"_s);
        write(usersPath, "binding", u"<Primary><Alt>T"_s);
        setList(true);
    }

    GnomeShortcut shortcut { u"/opt/my apps/verbulo"_s };
};

const QKeyCombination ctrlAltSpace(Qt::ControlModifier | Qt::AltModifier, Qt::Key_Space);

TEST_F(GnomeShortcutTest, WritesOneEntryOfItsOwnBesideTheUsersAndRefusesTakenKeys)
{
    struct Row {
        const char *name;
        bool usersEntry;
        std::optional<QKeyCombination> earlier;
        QKeyCombination keys;
        QString error;
        QStringList listAfter;
        QString bindingAfter;
    };
    const QString ours = GnomeShortcut::entryPath;
    const Row rows[] = {
        { "fresh list", false, {}, ctrlAltSpace, {}, { ours }, u"<Control><Alt>space"_s },
        { "the user's entries kept", true, {}, QKeyCombination(Qt::MetaModifier, Qt::Key_D), {}, { usersPath, ours },
            u"<Super>d"_s },
        { "again: ours updated, not added", true, ctrlAltSpace,
            QKeyCombination(Qt::ShiftModifier | Qt::MetaModifier, Qt::Key_F5), {}, { usersPath, ours },
            u"<Shift><Super>F5"_s },
        { "the same keys again are no conflict with ourselves", false, ctrlAltSpace, ctrlAltSpace, {}, { ours },
            u"<Control><Alt>space"_s },
        { "another custom shortcut's keys", true, {}, QKeyCombination(Qt::ControlModifier | Qt::AltModifier, Qt::Key_T),
            u"Сочетание Ctrl+Alt+T уже занято: «Terminal». Выберите другое."_s, { usersPath }, {} },
        { "GNOME's own keys", false, {}, QKeyCombination(Qt::MetaModifier, Qt::Key_L),
            u"Сочетание Meta+L уже занято: «Lock screen». Выберите другое."_s, {}, {} },
        { "a key GNOME has no name for", false, {}, QKeyCombination(Qt::ControlModifier, Qt::Key(0x0424)),
            u"У этой клавиши нет имени, понятного GNOME. Выберите другую — например, латинскую букву в английской "
            "раскладке."_s,
            {}, {} },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        if (row.usersEntry)
            addUsersTerminal();
        if (row.earlier) {
            ASSERT_TRUE(shortcut.assign(*row.earlier).ok());
        }

        EXPECT_EQ(shortcut.assign(row.keys).error, row.error);
        EXPECT_EQ(shortcut.current(), row.error.isEmpty() ? std::optional(row.keys) : row.earlier);
        ASSERT_TRUE(shortcut.written().result());
        EXPECT_EQ(list(), row.listAfter);
        if (row.listAfter.contains(ours)) {
            EXPECT_EQ(read(ours, "binding"), row.bindingAfter);
            EXPECT_EQ(read(ours, "command"), u"'/opt/my apps/verbulo' --toggle"_s);
            EXPECT_EQ(read(ours, "name"), u"Ворсик: диктовка"_s);
            EXPECT_EQ(shortcut.current(), GnomeShortcut::keys(row.bindingAfter));
        } else {
            EXPECT_EQ(shortcut.current(), std::nullopt);
        }
        if (row.usersEntry) {
            EXPECT_EQ(read(usersPath, "binding"), u"<Primary><Alt>T"_s);
        }
    }
}

TEST_F(GnomeShortcutTest, SuggestsKeysNothingElseUsesAndOnlyOnGnome)
{
    EXPECT_EQ(shortcut.suggestion(), ctrlAltSpace);
    write(usersPath, "binding", u"<Alt><Ctrl>space"_s);
    setList(true);
    EXPECT_EQ(shortcut.suggestion(), QKeyCombination(Qt::MetaModifier | Qt::AltModifier, Qt::Key_D));

    for (const auto &[desktop, available] :
        { std::pair { "GNOME", true }, { "GNOME-Classic:GNOME", true }, { "KDE", false }, { "", false } }) {
        qputenv("XDG_CURRENT_DESKTOP", desktop);
        EXPECT_EQ(shortcut.isAvailable(), available) << desktop;
    }
    EXPECT_FALSE(shortcut.assign(ctrlAltSpace).ok());
}

TEST(GnomeAcceleratorTest, KeysAndGnomesSpellingConvertBothWays)
{
    const auto keys = [](Qt::KeyboardModifiers modifiers, int key) { return QKeyCombination(modifiers, Qt::Key(key)); };
    const std::pair<QKeyCombination, QString> both[] = {
        { keys(Qt::ControlModifier | Qt::AltModifier, Qt::Key_Space), u"<Control><Alt>space"_s },
        { keys(Qt::MetaModifier, Qt::Key_D), u"<Super>d"_s },
        { keys(Qt::ControlModifier | Qt::ShiftModifier, Qt::Key_F12), u"<Control><Shift>F12"_s },
        { keys(Qt::AltModifier, Qt::Key_Minus), u"<Alt>minus"_s },
        { keys(Qt::ControlModifier, Qt::Key_7), u"<Control>7"_s },
        { keys(Qt::ControlModifier, Qt::Key_PageDown), u"<Control>Page_Down"_s },
        { keys({}, Qt::Key_F9), u"F9"_s },
        { keys({}, Qt::Key_VolumeMute), u"XF86AudioMute"_s },
    };
    for (const auto &[combination, accelerator] : both) {
        EXPECT_EQ(GnomeShortcut::accelerator(combination).name, accelerator);
        EXPECT_EQ(GnomeShortcut::keys(accelerator), combination) << accelerator.toStdString();
    }

    const std::pair<QKeyCombination, QString> refused[] = {
        { keys(Qt::ControlModifier, 0x0424), u"нет имени"_s }, // Cyrillic Ф
        { keys(Qt::ControlModifier, Qt::Key_Exclam), u"нет имени"_s },
        { keys(Qt::ControlModifier, Qt::Key_unknown), u"нет имени"_s },
        { keys({}, Qt::Key_A), u"перестала бы печатать"_s },
        { keys(Qt::ShiftModifier, Qt::Key_Space), u"перестала бы печатать"_s },
    };
    for (const auto &[combination, error] : refused) {
        const GnomeShortcut::Accelerator result = GnomeShortcut::accelerator(combination);
        EXPECT_TRUE(result.name.isEmpty());
        EXPECT_TRUE(result.error.contains(error)) << result.error.toStdString();
    }

    // GNOME Settings and older tools spell the same keys differently.
    EXPECT_EQ(
        GnomeShortcut::keys(u"<Primary><ALT>Space"_s), keys(Qt::ControlModifier | Qt::AltModifier, Qt::Key_Space));
    EXPECT_EQ(GnomeShortcut::keys(u"<Hyper>x"_s), std::nullopt);
    EXPECT_EQ(GnomeShortcut::keys(u"<Super>XF86Launch5"_s), std::nullopt);
}

} // namespace
