// The overlay on the real compositors of GNOME (scripts/gnome-session: an X11 window under
// Xwayland) and KDE Plasma (scripts/kde-session: a layer surface), this process a Wayland client:
// either leaves the keyboard focus in the user's window.
#include "insertiontargetapplication.h"
#include "testutil.h"
#include "ui/overlaypanelcontroller.h"
#include "ui/wayland/layershelloverlay.h"
#include "ui/wayland/waylandoverlay.h"
#include "ui/wayland/xwaylandoverlay.h"

#include <QGuiApplication>
#include <QPushButton>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

// On GNOME a Wayland window would be focused as it maps (measured: it takes the focus and keeps it
// while shown).
TEST(OverlayDesktopTest, TheTargetKeepsTheFocusAndOnGnomeACopyClickReachesIt)
{
    const bool gnome = qEnvironmentVariableIsSet("VERBULO_GNOME_SESSION");
    if (!(gnome || qEnvironmentVariableIsSet("VERBULO_KDE_SESSION")) || QGuiApplication::platformName() != u"wayland"_s)
        GTEST_SKIP() << "needs scripts/gnome-session or scripts/kde-session, and QT_QPA_PLATFORM=wayland";
    TargetApplication target(QStringLiteral(INSERTION_TARGET_WINDOW), { { u"QT_QPA_PLATFORM"_s, u"wayland"_s } });
    ASSERT_EQ(target.ask({}, "ready"), "ready");
    ASSERT_EQ(target.ask("open one 0 0", "opened one"), "opened one");
    const auto focused = [&] { return target.ask("focus one", "focus one") == "focus one 1"; };
    ASSERT_TRUE(TestUtil::runUntil(focused, 10s));

    OverlayPanelController overlay;
    std::unique_ptr<OverlaySurface> surface = makeWaylandOverlaySurface(overlay.panel());
    if (gnome)
        ASSERT_TRUE(dynamic_cast<XwaylandOverlay *>(surface.get()));
    else
        ASSERT_TRUE(dynamic_cast<LayerShellOverlay *>(surface.get()));
    overlay.setSurface(std::move(surface));
    overlay.showListening();
    TestUtil::runFor(500ms);
    EXPECT_TRUE(focused());
    const QString text = u"Текст для кнопки"_s;
    overlay.presentResult(u"Не удалось вставить"_s, u"Скопируйте текст"_s, text);
    TestUtil::runFor(500ms);
    EXPECT_TRUE(focused());

    // KWin offers a test no pointer of its own to click with (the sway test clicks a layer surface).
    if (!gnome)
        return;
    // Clicked where "Скопировать" shows at the top centre; the focused Wayland window reads the copy.
    auto *copy = overlay.panel()->findChild<QPushButton *>(u"copyButton"_s);
    const QPoint at
        = copy->mapTo(overlay.panel(), copy->rect().center()) + QPoint((1280 - overlay.panel()->width()) / 2, 28);
    QProcess::execute(
        u"xdotool"_s, { u"mousemove"_s, QString::number(at.x()), QString::number(at.y()), u"click"_s, u"1"_s });
    EXPECT_TRUE(TestUtil::runUntil([&] { return target.clipboard().first == text.toUtf8(); }, 5s));
    EXPECT_TRUE(focused());
}
