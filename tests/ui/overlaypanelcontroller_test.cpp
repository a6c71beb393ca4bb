#include "../app/privatebus.h"
#include "testutil.h"
#include "ui/clampedlabel.h"
#include "ui/mascotview.h"
#include "ui/overlaypanelcontroller.h"
#include "ui/wayland/notificationoverlay.h"

#include <QClipboard>
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPushButton>
#include <QTest>
#include <QWindow>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

class OverlayPanelTest : public ::testing::Test {
protected:
    OverlayPanelController overlay;

    QWidget *panel() const { return overlay.panel(); }
    ClampedLabel *label(const QString &name) const { return panel()->findChild<ClampedLabel *>(name); }
    QString title() const { return label(u"titleLabel"_s)->text(); }
    MascotView *mascot() const { return panel()->findChild<MascotView *>(); }
    bool resultShown() const { return panel()->findChild<QWidget *>(u"resultContainer"_s)->isVisibleTo(panel()); }
    void click(const QString &button) { QTest::mouseClick(panel()->findChild<QPushButton *>(button), Qt::LeftButton); }
    bool windowIgnoresMouse() const
    {
        return panel()->windowHandle() && panel()->windowHandle()->flags().testFlag(Qt::WindowTransparentForInput);
    }

    void expectStatusForm() const
    {
        EXPECT_TRUE(panel()->isVisible());
        EXPECT_FALSE(resultShown());
        EXPECT_TRUE(windowIgnoresMouse());
    }
};

struct StatusCase {
    const char *name;
    std::function<void(OverlayPanelController &)> call;
    QString title;
    QString detail;
    QString firstFrame;
    bool autoHides = false;
};

void PrintTo(const StatusCase &c, std::ostream *out) { *out << c.name; }

class OverlayStatusTest : public OverlayPanelTest, public ::testing::WithParamInterface<StatusCase> { };

TEST_P(OverlayStatusTest, ShowsTextsAndAnimatedMascotInTheStatusForm)
{
    const StatusCase &c = GetParam();
    c.call(overlay);
    expectStatusForm();
    EXPECT_EQ(title(), c.title);
    EXPECT_EQ(label(u"transcriptLabel"_s)->text(), c.detail);
    ASSERT_TRUE(mascot()->isVisibleTo(panel()));
    EXPECT_EQ(mascot()->currentFrameName(), c.firstFrame);
    EXPECT_TRUE(mascot()->isAnimating());
    EXPECT_EQ(overlay.hasPendingHide(), c.autoHides);
    EXPECT_TRUE(TestUtil::runUntil([&] { return mascot()->currentFrameName() != c.firstFrame; }));
}

INSTANTIATE_TEST_SUITE_P(AllStates, OverlayStatusTest,
    ::testing::Values(StatusCase { "connecting", [](OverlayPanelController &o) { o.showConnecting(); }, u"Ищу ручку…"_s,
                          u"Ворсик ищет ручку"_s, u"VorsSearching1"_s },
        StatusCase { "listening", [](OverlayPanelController &o) { o.showListening(); },
            u"Говорите — нажмите Fn второй раз, когда закончите"_s, u"Ворсик слушает и записывает"_s,
            u"VorsWriting1"_s },
        StatusCase { "processing", [](OverlayPanelController &o) { o.showProcessing(u"Завершаю распознавание…"_s); },
            u"Завершаю распознавание…"_s, u"Ворсик думает…"_s, u"VorsThinking"_s },
        StatusCase { "editing", [](OverlayPanelController &o) { o.showEditing(); }, u"Ворсик редактирует текст…"_s,
            u"Проверяет текст и вносит исправления"_s, u"VorsEditing1"_s },
        StatusCase { "failure",
            [](OverlayPanelController &o) {
                o.showMessage(u"Не понял…"_s, u"Нет сети"_s, MessageTone::failure, 4500ms);
            },
            u"Не понял…"_s, u"Нет сети"_s, u"VorsConfused1"_s, true }),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(OverlayPanelTest, ResultTakesClicksUntilAStatusGivesThemBackAndCloseHidesAtOnce)
{
    overlay.showConnecting();
    overlay.presentResult(u"Текст сохранён"_s, u"Окно сменилось. Нажмите «Скопировать»."_s, u"Привет"_s);
    EXPECT_TRUE(resultShown());
    EXPECT_FALSE(windowIgnoresMouse());
    EXPECT_EQ(title(), u"Текст сохранён"_s);
    EXPECT_EQ(label(u"resultLabel"_s)->text(), u"Привет"_s);
    EXPECT_EQ(mascot()->currentFrameName(), u"VorsHappy"_s);
    EXPECT_TRUE(mascot()->isBreathing());
    EXPECT_FALSE(overlay.hasPendingHide());

    overlay.showListening();
    expectStatusForm();
    EXPECT_FALSE(mascot()->isBreathing());
    overlay.setTranscriptText(u"Сегодня мы"_s);
    EXPECT_EQ(label(u"transcriptLabel"_s)->text(), u"Сегодня мы"_s);
    overlay.presentResult(u"Текст сохранён"_s, u"Причина."_s, u"Привет"_s);
    click(u"closeButton"_s);
    EXPECT_FALSE(panel()->isVisible());
    EXPECT_FALSE(mascot()->isAnimating() || mascot()->isBreathing());
}

TEST_F(OverlayPanelTest, AutoHideIsCancelledByALaterCall)
{
    overlay.showMessage(u"Не понял…"_s, u"Ошибка"_s, MessageTone::failure, 300ms);
    overlay.showConnecting();
    TestUtil::runFor(900ms);
    EXPECT_TRUE(panel()->isVisible());

    // Without a later call the message does hide.
    overlay.showMessage(u"✓  Текст вставлен"_s, QString(), MessageTone::success, 300ms);
    EXPECT_TRUE(TestUtil::runUntil([&] { return !panel()->isVisible(); }));
    EXPECT_FALSE(mascot()->isAnimating());
}

TEST_F(OverlayPanelTest, CopyPutsExactlyTheTextOnTheClipboardAndHidesShortlyAfter)
{
    // With nothing displayed, the clipboard keeps what it had.
    QGuiApplication::clipboard()->setText(u"прежнее"_s);
    overlay.presentResult(u"Текст сохранён"_s, u"Причина."_s, QString());
    overlay.copyDisplayedText();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), u"прежнее"_s);
    EXPECT_EQ(title(), u"Текст сохранён"_s);
    EXPECT_FALSE(overlay.hasPendingHide());

    const QString text = u"Первая строка\nВторая — с «кавычками» и  двумя пробелами "_s;
    overlay.presentResult(u"Текст сохранён"_s, u"Причина."_s, text);
    QElapsedTimer sinceClick;
    sinceClick.start();
    click(u"copyButton"_s);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), text);
    EXPECT_EQ(title(), u"✓  Текст скопирован"_s);
    EXPECT_TRUE(panel()->isVisible());
    EXPECT_TRUE(TestUtil::runUntil([&] { return !panel()->isVisible(); }));
    EXPECT_GE(sinceClick.elapsed(), 800); // not at once: a coarse timer fires at most 5 % early
}

class StandInNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList calls;
public Q_SLOTS:
    Q_SCRIPTABLE uint Notify(const QString &, uint replaces, const QString &, const QString &summary,
        const QString &body, const QStringList &, const QVariantMap &, int)
    {
        calls.append(u"%1|%2|%3"_s.arg(replaces).arg(summary, body));
        return 7;
    }
    Q_SCRIPTABLE void CloseNotification(uint id) { calls.append(u"close %1"_s.arg(id)); }
};

} // namespace

// Where a window of the panel would take the focus, its states go to the desktop's notifications
// instead, one notification updated in place, and the panel never shows.
TEST(NotificationOverlayTest, TellsEachStateInOneNotificationAndClosesIt)
{
    PrivateBus bus;
    StandInNotifications desktop;
    QDBusConnection server = QDBusConnection::connectToBus(bus.address(), u"notifications"_s);
    server.registerObject(u"/org/freedesktop/Notifications"_s, &desktop, QDBusConnection::ExportScriptableSlots);
    ASSERT_TRUE(server.registerService(u"org.freedesktop.Notifications"_s)) << "dbus-daemon did not start";
    OverlayPanelController overlay;
    overlay.setSurface(std::make_unique<NotificationOverlay>(
        overlay.panel(), QDBusConnection::connectToBus(bus.address(), u"ours"_s)));
    overlay.showListening();
    ASSERT_TRUE(TestUtil::runUntil([&] { return desktop.calls.size() == 1; }, 5s));
    overlay.presentResult(u"Текст сохранён"_s, u"Нажмите «Скопировать»."_s, u"текст"_s);
    ASSERT_TRUE(TestUtil::runUntil([&] { return desktop.calls.size() == 2; }, 5s));
    overlay.hide();
    ASSERT_TRUE(TestUtil::runUntil([&] { return desktop.calls.size() == 3; }, 5s));
    EXPECT_EQ(desktop.calls,
        (QStringList { u"0|Говорите — нажмите Fn второй раз, когда закончите|Ворсик слушает и записывает"_s,
            u"7|Текст сохранён|Нажмите «Скопировать».\n\nтекст"_s, u"close 7"_s }));
    EXPECT_FALSE(overlay.panel()->isVisible());

    // Hidden before the desktop named the notification: the one it names is closed all the same.
    overlay.showListening();
    ASSERT_TRUE(TestUtil::runUntil([&] { return desktop.calls.size() == 4; }, 5s));
    overlay.hide();
    ASSERT_TRUE(TestUtil::runUntil([&] { return desktop.calls.size() == 5; }, 5s));
    EXPECT_EQ(desktop.calls.last(), u"close 7"_s);
}

#include "overlaypanelcontroller_test.moc"
