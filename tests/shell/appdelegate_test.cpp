#include "core/appsettings.h"
#include "fakeneighbours.h"
#include "shell/appdelegate.h"
#include "shell/mainmenu.h"
#include "shell/statusmenu.h"
#include "testmodels.h"
#include "testutil.h"

#include <QAction>
#include <QDialog>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QVBoxLayout>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

namespace Keys = AppSettings::Keys;

const QString lastTextShown = u"overlay.result|Последний текст|Последняя расшифровка сохранена здесь.|%1"_s;

class AppDelegateTest : public ::testing::Test {
protected:
    AppDelegateTest()
    {
        TestUtil::clearSettings();
        delegate = std::make_unique<AppDelegate>(fakes.neighbours(), &accessibility,
            [this](std::function<void()> onFnPress, std::function<void(const QString &)> onUnavailable,
                std::function<void(DictationTrigger)> onTrigger) {
                fnPress = std::move(onFnPress);
                keyboardUnavailable = std::move(onUnavailable);
                triggerKnown = std::move(onTrigger);
                return std::make_unique<QObject>();
            });
        delegate->setTrayCheck([this] { return trayShown; });
        // Stands in for a theme that has every icon.
        delegate->setIconLookup([this](const QString &name) {
            iconName = name;
            QPixmap pixmap(16, 16);
            pixmap.fill(Qt::black);
            return QIcon(pixmap);
        });
    }

    QStringList &log() { return *fakes.log; }
    QAction *item(const QString &title)
    {
        for (QAction *action : delegate->statusMenu()->actions())
            if (action->text() == title)
                return action;
        return nullptr;
    }
    // One row per item ("title|enabled|shortcut", "-" for a separator).
    static QStringList rows(const QList<QAction *> &actions)
    {
        QStringList result;
        for (const QAction *a : actions)
            result.append(a->isSeparator() ? u"-"_s
                                           : u"%1|%2|%3"_s.arg(a->text(), a->isEnabled() ? u"on"_s : u"off"_s,
                                               a->shortcut().toString(QKeySequence::PortableText)));
        return result;
    }
    // The status menu's first row, after the rows that never change are checked.
    QStringList rows(bool hasLastText)
    {
        const QStringList result = rows(delegate->statusMenu()->actions());
        EXPECT_EQ(result.mid(1),
            (QStringList { u"Диктовка: Fn — начать/закончить|off|"_s, u"-"_s,
                u"Последний текст…|"_s + (hasLastText ? u"on|"_s : u"off|"_s), u"Настройки…|on|Ctrl+,"_s,
                u"Разрешить вставку текста…|on|"_s, u"-"_s, u"Выйти|on|Ctrl+Q"_s }));
        return result.mid(0, 1);
    }
    // The tray icon: the theme's name for it, its title and the colour of its middle.
    QString icon() const
    {
        const QColor middle = delegate->trayIcon()->icon().pixmap(16, 16).toImage().pixelColor(8, 8);
        const QString colour = middle == StatusMenu::alertRed() ? u"red"_s : middle.name();
        return iconName + u"|"_s + delegate->statusIcon().title + u"|"_s + colour;
    }

    FakeNeighbourhood fakes;
    FakeAccessibilityPermission accessibility;
    std::function<void()> fnPress;
    std::function<void(const QString &)> keyboardUnavailable;
    std::function<void(DictationTrigger)> triggerKnown;
    bool trayShown = true;
    QString iconName;
    std::unique_ptr<AppDelegate> delegate;
};

// Launch opens the walkthrough until it is done, then the settings; reopen brings back the last text when there is one.
TEST_F(AppDelegateTest, LaunchAndReopenShowWhatTheSetupStateCallsFor)
{
    struct Case {
        bool completed;
        QString lastText;
        QStringList shown;
    };
    for (const Case &c : { Case { false, u"текст"_s, { u"onboarding.show"_s, u"onboarding.show"_s } },
             Case { true, {}, { u"settings.show"_s, u"settings.show"_s } },
             Case { true, u"текст"_s, { u"settings.show"_s, lastTextShown.arg(u"текст"_s) } } }) {
        TestUtil::clearSettings();
        AppSettings::setString(Keys::aiProvider, u"openAI"_s);
        AppSettings::setBool(Keys::onboardingCompleted, c.completed);
        if (!c.lastText.isEmpty())
            AppSettings::setString(Keys::lastText, c.lastText);
        FakeNeighbourhood local;
        AppDelegate launched(local.neighbours(), &accessibility, {});
        launched.applicationDidFinishLaunching();
        EXPECT_EQ(AppSettings::string(Keys::aiProvider), u"vorsik"_s);
        EXPECT_EQ(launched.trayIcon()->toolTip(), u"Ворсик — диктовка по Fn"_s);
        EXPECT_EQ(launched.trayIcon()->contextMenu(), launched.statusMenu());
        EXPECT_TRUE(launched.handleReopen());
        EXPECT_EQ(*local.log, c.shown);
    }
}

// The ready message names the key that starts a dictation: Fn, or the desktop's shortcut once it serves.
TEST_F(AppDelegateTest, FinishedWalkthroughAndUnreadableKeyboardAreToldInTheOverlay)
{
    delegate->applicationDidFinishLaunching();
    log().clear();
    fakes.onboarding.onFinish();
    keyboardUnavailable(u"Добавьте себя в группу input."_s);
    EXPECT_TRUE(TestUtil::runUntil([&] { return log().size() == 2; }));
    triggerKnown(DictationTrigger::desktopShortcut);
    fakes.onboarding.onFinish();
    EXPECT_EQ(log(),
        (QStringList { u"overlay.message|Ворсик готов к работе|Нажмите Fn один раз, говорите и нажмите Fn "
                       u"ещё раз, когда закончите.|success|6000"_s,
            u"overlay.message|Клавиша Fn недоступна|Добавьте себя в группу input.|failure|15000"_s,
            u"overlay.message|Ворсик готов к работе|Нажмите сочетание «Диктовка» один раз, говорите и "
            u"нажмите его ещё раз, когда закончите.|success|6000"_s }));
}

TEST_F(AppDelegateTest, WithoutATrayIconTheWindowMenuOffersTheTrayActionsAndNoticesNeverOverlap)
{
    trayShown = false;
    delegate->applicationDidFinishLaunching();
    const QList<QAction *> actions = delegate->mainMenu()->applicationActions();
    ASSERT_GE(actions.size(), 2);
    log().clear();
    actions[0]->trigger();
    EXPECT_TRUE(TestUtil::runUntil([&] { return log().contains(u"onboarding.show"_s); }));
    actions[1]->trigger();
    EXPECT_EQ(accessibility.requests, 1);

    keyboardUnavailable(u"Добавьте себя в группу input."_s);
    TestUtil::runFor(std::chrono::milliseconds(200));
    const QStringList messages = log().filter(u"overlay.message"_s);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].startsWith(u"overlay.message|Значка Ворсика нет на панели|"_s))
        << messages[0].toStdString();
}

TEST_F(AppDelegateTest, BeforeSetupIsDoneFnAndTheMenuShowTheWalkthroughOrStartItsTest)
{
    delegate->applicationDidFinishLaunching();
    log().clear();
    fnPress();
    EXPECT_TRUE(log().isEmpty()); // the key event is not held up by the toggle
    EXPECT_TRUE(TestUtil::runUntil([&] { return log() == QStringList { u"onboarding.show"_s }; }));
    item(u"Начать диктовку"_s)->trigger();
    EXPECT_EQ(log(), (QStringList { u"onboarding.show"_s, u"onboarding.show"_s }));

    fakes.onboarding.atTestDictation = true;
    for (const auto &start : { fnPress, std::function<void()>([&] { item(u"Начать диктовку"_s)->trigger(); }) }) {
        Gate started;
        fakes.recorder.starts.gate = &started;
        log().clear();
        start();
        EXPECT_TRUE(TestUtil::runUntil([&] { return log() == QStringList { u"onboarding.connecting"_s }; }));
        delegate->controller().handleTranscriptionError(u"стоп"_s);
        started.open();
        // The start resumes on a later turn of the loop and must end before the gate goes.
        TestUtil::runFor(std::chrono::milliseconds(100));
    }
}

TEST_F(AppDelegateTest, StatusAndMenuFollowTheDictationAndItsText)
{
    AppSettings::setBool(Keys::onboardingCompleted, true);
    Gate started, answer;
    fakes.recorder.starts.gate = &started;
    fakes.vorsik.answer = { u"продиктовано"_s };
    fakes.vorsik.answer.gate = &answer;
    delegate->applicationDidFinishLaunching();
    EXPECT_EQ(rows(false), QStringList { u"Начать диктовку|on|"_s });
    EXPECT_EQ(icon(), u"audio-input-microphone-symbolic||#000000"_s);
    item(u"Начать диктовку"_s)->trigger();
    EXPECT_EQ(rows(false), QStringList { u"Начать диктовку|off|"_s });
    EXPECT_EQ(icon(), u"content-loading-symbolic| …|#000000"_s);

    started.open();
    ASSERT_TRUE(TestUtil::runUntil([&] { return delegate->controller().state() == DictationState::recording; }));
    EXPECT_EQ(rows(false), QStringList { u"Закончить диктовку|on|"_s });
    EXPECT_EQ(icon(), u"media-record-symbolic| Запись|red"_s);
    item(u"Закончить диктовку"_s)->trigger();
    answer.open();
    ASSERT_TRUE(TestUtil::runUntil([&] { return delegate->controller().state() == DictationState::idle; }));
    EXPECT_EQ(rows(true), QStringList { u"Начать диктовку|on|"_s });

    log().clear();
    item(u"Последний текст…"_s)->trigger();
    item(u"Настройки…"_s)->trigger();
    item(u"Разрешить вставку текста…"_s)->trigger();
    EXPECT_EQ(log(), (QStringList { lastTextShown.arg(u"продиктовано"_s), u"settings.show"_s }));
    EXPECT_EQ(accessibility.requests, 1);

    // Quitting while recording lets the microphone go.
    fakes.recorder.starts.gate = nullptr;
    item(u"Начать диктовку"_s)->trigger();
    ASSERT_TRUE(TestUtil::runUntil([&] { return delegate->controller().state() == DictationState::recording; }));
    delegate->applicationWillTerminate();
    EXPECT_FALSE(fakes.recorder.isRunning());
}

TEST_F(AppDelegateTest, TheTrayTooltipShowsAModelDownloadWhileItRuns)
{
    TestModels models;
    delegate->applicationDidFinishLaunching();
    delegate->followModelDownloads(&models.downloader);
    QStringList shown, expected;
    QObject::connect(&models.downloader, &ModelDownloader::progressChanged, delegate.get(),
        [&](const ModelDownloader::Progress &progress) {
            expected.append(u"Ворсик — диктовка по Fn\nСкачивается модель alpha: "_s + progress.text());
            shown.append(delegate->trayIcon()->toolTip());
        });
    models.downloader.start(u"alpha"_s);
    ASSERT_TRUE(TestUtil::runUntil([&] { return models.store.isInstalled(u"alpha"_s); }));
    EXPECT_FALSE(shown.isEmpty());
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(delegate->trayIcon()->toolTip(), u"Ворсик — диктовка по Fn"_s);
}

TEST_F(AppDelegateTest, MainMenuGoesOnTheProgramsOwnWindows)
{
    delegate->applicationDidFinishLaunching();
    QWidget window, tool(nullptr, Qt::Tool | Qt::FramelessWindowHint);
    QDialog dialog;
    QMessageBox message(QMessageBox::Information, u"Ворсик"_s, u"Готово"_s);
    for (QWidget *w : { &window, &tool, static_cast<QWidget *>(&dialog), static_cast<QWidget *>(&message) }) {
        if (!w->layout())
            new QVBoxLayout(w);
        w->show();
    }

    EXPECT_EQ(tool.layout()->menuBar(), nullptr);
    EXPECT_EQ(message.layout()->menuBar(), nullptr);
    EXPECT_NE(qobject_cast<QMenuBar *>(dialog.layout()->menuBar()), nullptr);
    auto *bar = qobject_cast<QMenuBar *>(window.layout()->menuBar());
    ASSERT_NE(bar, nullptr);
    QStringList menus;
    for (QAction *menuAction : bar->actions())
        menus.append(menuAction->text() + u": "_s + rows(menuAction->menu()->actions()).join(u", "_s));
    EXPECT_EQ(menus,
        (QStringList { u"Ворсик: Последний текст…|on|, Настройки Ворсика…|on|Ctrl+,, -, Выйти из Ворсика|on|Ctrl+Q"_s,
            u"Правка: Вырезать|on|Ctrl+X, Копировать|on|Ctrl+C, Вставить|on|Ctrl+V, -, Выбрать всё|on|Ctrl+A"_s }));

    log().clear();
    delegate->mainMenu()->applicationActions().at(1)->trigger();
    EXPECT_EQ(log(), QStringList { u"settings.show"_s });
}

} // namespace
