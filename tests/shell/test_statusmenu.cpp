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
    for (const QAction *a : menu.actions())
        result.append(a->isSeparator() ? u"-"_s
                                       : u"%1|%2|%3"_s.arg(a->text(), a->isEnabled() ? u"on"_s : u"off"_s,
                                           a->shortcut().toString(QKeySequence::PortableText)));
    return result;
}

struct MenuCase {
    DictationState state;
    bool hasLastText;
    QString first; // the toggle row
};
void PrintTo(const MenuCase &c, std::ostream *out) { *out << int(c.state) << (c.hasLastText ? "+text" : ""); }

class StatusMenuRows : public ::testing::TestWithParam<MenuCase> { };

TEST_P(StatusMenuRows, MatchTheStateAndTheLastText)
{
    QMenu menu;
    // Built twice: the second build replaces the first rather than adding to it.
    StatusMenu::build(menu, DictationState::recording, true, {});
    StatusMenu::build(menu, GetParam().state, GetParam().hasLastText, {});
    EXPECT_EQ(rows(menu),
        (QStringList { GetParam().first, u"Диктовка: Fn — начать/закончить|off|"_s, u"-"_s,
            u"Последний текст…|"_s + (GetParam().hasLastText ? u"on|"_s : u"off|"_s), u"Настройки…|on|Ctrl+,"_s,
            u"Разрешить вставку текста…|on|"_s, u"-"_s, u"Выйти|on|Ctrl+Q"_s }));
}

INSTANTIATE_TEST_SUITE_P(States, StatusMenuRows,
    ::testing::Values(MenuCase { DictationState::idle, false, u"Начать диктовку|on|"_s },
        MenuCase { DictationState::idle, true, u"Начать диктовку|on|"_s },
        MenuCase { DictationState::connecting, false, u"Начать диктовку|off|"_s },
        MenuCase { DictationState::recording, true, u"Закончить диктовку|on|"_s },
        MenuCase { DictationState::processing, true, u"Начать диктовку|off|"_s }));

struct IconCase {
    DictationState state;
    QString iconName;
    QString title;
    bool alert;
};
void PrintTo(const IconCase &c, std::ostream *out) { *out << int(c.state); }

class StatusIcon : public ::testing::TestWithParam<IconCase> { };

TEST_P(StatusIcon, ThemeImageIsRedOrUntouchedOrDrawnWithMicrophoneAndTitle)
{
    const IconCase &c = GetParam();
    const StatusMenu::Appearance look = StatusMenu::appearance(c.state);
    EXPECT_EQ(look.alert, c.alert);

    const QColor tint = look.alert ? StatusMenu::alertRed() : QColor();
    QStringList askedFor;
    const StatusMenu::Icon themed = StatusMenu::makeIcon(look.iconName, look.title, tint, [&](const QString &name) {
        askedFor.append(name);
        QPixmap pixmap(32, 32);
        pixmap.fill(Qt::black);
        return QIcon(pixmap);
    });
    EXPECT_EQ(askedFor, QStringList { c.iconName });
    EXPECT_TRUE(themed.hasImage);
    EXPECT_EQ(themed.title, c.title);
    EXPECT_EQ(themed.icon.pixmap(22, 22).toImage().pixelColor(11, 11).rgb(), look.alert ? tint.rgb() : qRgb(0, 0, 0));

    // Without the theme image: a drawn icon, not a blank square, and the microphone in the title.
    const StatusMenu::Icon drawn
        = StatusMenu::makeIcon(look.iconName, look.title, tint, [](const QString &) { return QIcon(); });
    EXPECT_FALSE(drawn.hasImage);
    EXPECT_EQ(drawn.title, u"🎤"_s + c.title);
    const QImage image = drawn.icon.pixmap(32, 32).toImage();
    ASSERT_FALSE(image.isNull());
    EXPECT_NE(image.pixelColor(16, 16), image.pixelColor(0, 0));
}

INSTANTIATE_TEST_SUITE_P(States, StatusIcon,
    ::testing::Values(IconCase { DictationState::idle, u"audio-input-microphone-symbolic"_s, QString(), false },
        IconCase { DictationState::connecting, u"content-loading-symbolic"_s, u" …"_s, false },
        IconCase { DictationState::recording, u"media-record-symbolic"_s, u" Запись"_s, true },
        IconCase { DictationState::processing, u"content-loading-symbolic"_s, u" …"_s, false }));

} // namespace
