#include "statusmenu.h"

#include <QImage>
#include <QPixmap>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

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
