#include "statusmenu.h"

#include <QAction>
#include <QImage>
#include <QMenu>
#include <QPixmap>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

// One menu row as "title|enabled|shortcut"; a separator is "-".
QStringList rows(const QMenu &menu)
{
    QStringList result;
    for (const QAction *action : menu.actions()) {
        if (action->isSeparator())
            result.append(u"-"_s);
        else
            result.append(u"%1|%2|%3"_s.arg(action->text(), action->isEnabled() ? u"on"_s : u"off"_s,
                                             action->shortcut().toString(QKeySequence::PortableText)));
    }
    return result;
}

struct MenuCase
{
    DictationState state;
    bool hasLastText;
    QStringList expected;
};

void PrintTo(const MenuCase &c, std::ostream *out) { *out << int(c.state) << (c.hasLastText ? "+text" : ""); }

class StatusMenuRows : public ::testing::TestWithParam<MenuCase>
{
};

TEST_P(StatusMenuRows, MatchTheStateAndTheLastText)
{
    QMenu menu;
    // Built twice: the second build replaces the first rather than adding to it.
    StatusMenu::build(menu, DictationState::recording, true, {});
    StatusMenu::build(menu, GetParam().state, GetParam().hasLastText, {});
    EXPECT_EQ(rows(menu), GetParam().expected);
}

QStringList expectedRows(const QString &first, bool toggleEnabled, bool lastTextEnabled)
{
    return {first + (toggleEnabled ? u"|on|"_s : u"|off|"_s),
            u"Диктовка: Fn — начать/закончить|off|"_s,
            u"-"_s,
            u"Последний текст…|"_s + (lastTextEnabled ? u"on|"_s : u"off|"_s),
            u"Настройки…|on|Ctrl+,"_s,
            u"Разрешить вставку текста…|on|"_s,
            u"-"_s,
            u"Выйти|on|Ctrl+Q"_s};
}

INSTANTIATE_TEST_SUITE_P(
    States, StatusMenuRows,
    ::testing::Values(MenuCase{DictationState::idle, false, expectedRows(u"Начать диктовку"_s, true, false)},
                      MenuCase{DictationState::idle, true, expectedRows(u"Начать диктовку"_s, true, true)},
                      MenuCase{DictationState::connecting, false, expectedRows(u"Начать диктовку"_s, false, false)},
                      MenuCase{DictationState::recording, true, expectedRows(u"Закончить диктовку"_s, true, true)},
                      MenuCase{DictationState::processing, true, expectedRows(u"Начать диктовку"_s, false, true)}));

struct IconCase
{
    DictationState state;
    QString iconName;
    QString title;
    bool alert;
};

void PrintTo(const IconCase &c, std::ostream *out) { *out << int(c.state); }

class StatusIcon : public ::testing::TestWithParam<IconCase>
{
};

QIcon blackSquare()
{
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::black);
    return QIcon(pixmap);
}

TEST_P(StatusIcon, ThemeImageIsTintedWithTheStateColour)
{
    const IconCase &c = GetParam();
    const StatusMenu::Appearance look = StatusMenu::appearance(c.state);
    EXPECT_EQ(look.iconName, c.iconName);
    EXPECT_EQ(look.title, c.title);
    EXPECT_EQ(look.alert, c.alert);

    const QColor tint = look.alert ? StatusMenu::alertRed() : Qt::darkBlue;
    QStringList askedFor;
    const StatusMenu::Icon icon = StatusMenu::makeIcon(look.iconName, look.title, tint, [&](const QString &name) {
        askedFor.append(name);
        return blackSquare();
    });
    EXPECT_EQ(askedFor, QStringList{c.iconName});
    EXPECT_TRUE(icon.hasImage);
    EXPECT_EQ(icon.title, c.title);
    const QImage image = icon.icon.pixmap(22, 22).toImage();
    EXPECT_EQ(image.pixelColor(11, 11).rgb(), tint.rgb());
}

TEST_P(StatusIcon, MissingThemeImageIsDrawnWithMicrophoneAndTitle)
{
    const StatusMenu::Appearance look = StatusMenu::appearance(GetParam().state);
    const StatusMenu::Icon icon =
        StatusMenu::makeIcon(look.iconName, look.title, StatusMenu::labelColour(), [](const QString &) { return QIcon(); });
    EXPECT_FALSE(icon.hasImage);
    EXPECT_EQ(icon.title, u"🎤"_s + GetParam().title);
    const QImage image = icon.icon.pixmap(32, 32).toImage();
    ASSERT_FALSE(image.isNull());
    // Something is drawn: not a blank square.
    EXPECT_NE(image.pixelColor(16, 16), image.pixelColor(0, 0));
}

INSTANTIATE_TEST_SUITE_P(
    States, StatusIcon,
    ::testing::Values(IconCase{DictationState::idle, u"audio-input-microphone-symbolic"_s, QString(), false},
                      IconCase{DictationState::connecting, u"content-loading-symbolic"_s, u" …"_s, false},
                      IconCase{DictationState::recording, u"media-record-symbolic"_s, u" Запись"_s, true},
                      IconCase{DictationState::processing, u"content-loading-symbolic"_s, u" …"_s, false}));

} // namespace
