#include "appdelegate.h"
#include "appsettings.h"
#include "fakeneighbours.h"
#include "mainmenu.h"
#include "testutil.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QVBoxLayout>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

class FakeAccessibilityPermission final : public AbstractAccessibilityPermission
{
public:
    int requests = 0;
    bool isTrusted() override { return false; }
    void requestTrust() override { ++requests; }
};

void setRecentTexts(const QStringList &texts)
{
    QSettings(QSettings::IniFormat, QSettings::UserScope, u"plumrest"_s, u"Vorsik"_s).setValue(u"recentTexts"_s, texts);
}

QAction *findAction(QMenu *menu, const QString &title)
{
    for (QAction *action : menu->actions())
        if (action->text() == title)
            return action;
    return nullptr;
}

class AppDelegateTest : public ::testing::Test
{
protected:
    AppDelegateTest()
    {
        TestUtil::clearSettings();
        delegate = std::make_unique<AppDelegate>(
            fakes.neighbours(), &accessibility,
            [this](std::function<void()> onFnPress, std::function<void(const QString &)> onUnavailable) {
                fnPress = std::move(onFnPress);
                keyboardUnavailable = std::move(onUnavailable);
                return std::make_unique<QObject>();
            });
        // Stands in for a theme that has every icon.
        delegate->setIconLookup([](const QString &) {
            QPixmap pixmap(16, 16);
            pixmap.fill(Qt::black);
            return QIcon(pixmap);
        });
    }

    QStringList &log() { return *fakes.log; }
    QString firstItemRow()
    {
        const QAction *first = delegate->statusMenu()->actions().value(0);
        return first->text() + (first->isEnabled() ? u"|on"_s : u"|off"_s);
    }

    FakeNeighbourhood fakes;
    FakeAccessibilityPermission accessibility;
    std::function<void()> fnPress;
    std::function<void(const QString &)> keyboardUnavailable;
    std::unique_ptr<AppDelegate> delegate;
};

TEST_F(AppDelegateTest, LaunchWritesProviderAndOpensTheFirstWindow)
{
    for (const bool completed : {false, true}) {
        SCOPED_TRACE(completed);
        TestUtil::clearSettings();
        AppSettings::setString(AppSettings::Keys::aiProvider, u"openAI"_s);
        AppSettings::setBool(AppSettings::Keys::onboardingCompleted, completed);
        log().clear();
        FakeNeighbourhood local;
        AppDelegate launched(local.neighbours(), &accessibility, {});
        launched.applicationDidFinishLaunching();

        EXPECT_EQ(AppSettings::string(AppSettings::Keys::aiProvider), u"vorsik"_s);
        ASSERT_NE(launched.statusItem(), nullptr);
        EXPECT_EQ(launched.statusItem()->toolTip(), u"Ворсик — диктовка по Fn"_s);
        EXPECT_EQ(launched.statusItem()->contextMenu(), launched.statusMenu());
        EXPECT_EQ(launched.statusMenu()->actions().size(), 8);
        EXPECT_EQ(*local.log, QStringList{completed ? u"settings.show"_s : u"onboarding.show"_s});
    }
}

TEST_F(AppDelegateTest, OnboardingCompletionShowsTheReadyMessage)
{
    delegate->applicationDidFinishLaunching();
    ASSERT_TRUE(fakes.onboarding.onFinish);
    log().clear();
    fakes.onboarding.onFinish();
    EXPECT_EQ(log(), QStringList{u"overlay.message|Ворсик готов к работе|Нажмите Fn один раз, говорите и нажмите Fn "
                                 u"ещё раз, когда закончите.|happy|6000"_s});
}

TEST_F(AppDelegateTest, FnPressTogglesOnTheNextTurnOfTheEventLoop)
{
    delegate->applicationDidFinishLaunching();
    ASSERT_TRUE(fnPress);
    log().clear();
    // Setup not finished: the controller answers a press by showing the walkthrough.
    fnPress();
    EXPECT_TRUE(log().isEmpty()); // the key event is not held up by the toggle
    EXPECT_TRUE(TestUtil::runUntil([&] { return log() == QStringList{u"onboarding.show"_s}; }));
}

TEST_F(AppDelegateTest, UnreadableKeyboardIsToldInTheOverlay)
{
    delegate->applicationDidFinishLaunching();
    ASSERT_TRUE(keyboardUnavailable);
    log().clear();
    keyboardUnavailable(u"Добавьте себя в группу input."_s);
    EXPECT_TRUE(TestUtil::runUntil([&] { return !log().isEmpty(); }));
    EXPECT_EQ(log(), QStringList{u"overlay.message|Клавиша Fn недоступна|Добавьте себя в группу input.|confused|15000"_s});
}

TEST_F(AppDelegateTest, ReopenShowsWhatTheSetupStateCallsFor)
{
    struct Case
    {
        bool completed;
        QString lastText;
        QStringList recentTexts;
        QString expected;
    };
    const Case cases[] = {
        {false, u"текст"_s, {}, u"onboarding.show"_s},
        {true, QString(), {}, u"settings.show"_s},
        {true, u"текст"_s, {}, u"overlay.result|Последний текст|Последняя расшифровка сохранена здесь.|текст"_s},
        {true, QString(), {u"старый"_s, u"ещё"_s},
         u"overlay.result|Последний текст|Последняя расшифровка сохранена здесь.|старый"_s},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.expected.toStdString());
        TestUtil::clearSettings();
        AppSettings::setBool(AppSettings::Keys::onboardingCompleted, c.completed);
        if (!c.lastText.isEmpty())
            AppSettings::setString(AppSettings::Keys::lastText, c.lastText);
        if (!c.recentTexts.isEmpty())
            setRecentTexts(c.recentTexts);
        log().clear();
        EXPECT_TRUE(delegate->applicationShouldHandleReopen());
        EXPECT_EQ(log(), QStringList{c.expected});
    }
}

TEST_F(AppDelegateTest, StatusMenuItemsReachTheirTargets)
{
    delegate->applicationDidFinishLaunching();
    EXPECT_FALSE(findAction(delegate->statusMenu(), u"Последний текст…"_s)->isEnabled());

    // A text found only in the older list counts as the last text.
    setRecentTexts({u"из старого списка"_s});
    delegate->updateMenuBar();
    QAction *lastText = findAction(delegate->statusMenu(), u"Последний текст…"_s);
    ASSERT_TRUE(lastText->isEnabled());
    log().clear();
    lastText->trigger();
    EXPECT_EQ(log(), QStringList{u"overlay.result|Последний текст|Последняя расшифровка сохранена здесь.|из "
                                 u"старого списка"_s});

    log().clear();
    findAction(delegate->statusMenu(), u"Настройки…"_s)->trigger();
    findAction(delegate->statusMenu(), u"Разрешить вставку текста…"_s)->trigger();
    EXPECT_EQ(log(), QStringList{u"settings.show"_s});
    EXPECT_EQ(accessibility.requests, 1);
}

TEST_F(AppDelegateTest, StatusFollowsTheDictation)
{
    AppSettings::setBool(AppSettings::Keys::onboardingCompleted, true);
    Gate microphone;
    fakes.microphone.gate = &microphone;
    delegate->applicationDidFinishLaunching();
    EXPECT_EQ(firstItemRow(), u"Начать диктовку|on"_s);
    EXPECT_EQ(delegate->statusIcon().title, QString());

    findAction(delegate->statusMenu(), u"Начать диктовку"_s)->trigger();
    ASSERT_EQ(delegate->controller().state(), DictationState::connecting);
    EXPECT_EQ(firstItemRow(), u"Начать диктовку|off"_s);
    EXPECT_EQ(delegate->statusIcon().title, u" …"_s);

    microphone.open();
    ASSERT_TRUE(TestUtil::runUntil([&] { return delegate->controller().state() == DictationState::recording; }));
    EXPECT_EQ(firstItemRow(), u"Закончить диктовку|on"_s);
    EXPECT_EQ(delegate->statusIcon().title, u" Запись"_s);
    EXPECT_EQ(delegate->statusItem()->icon().pixmap(16, 16).toImage().pixelColor(8, 8).rgb(),
              StatusMenu::alertRed().rgb());

    delegate->applicationWillTerminate();
    EXPECT_FALSE(fakes.recorder.isRunning());
}

// ---- main menu on the program's windows ---------------------------------------

TEST_F(AppDelegateTest, MainMenuGoesOnTheProgramsOwnWindows)
{
    delegate->applicationDidFinishLaunching();

    QWidget window;
    auto *layout = new QVBoxLayout(&window);
    auto *field = new QLineEdit(u"вставленный текст"_s, &window);
    layout->addWidget(field);
    QWidget tool(nullptr, Qt::Tool | Qt::FramelessWindowHint);
    new QVBoxLayout(&tool);
    QDialog dialog;
    new QVBoxLayout(&dialog);
    QMessageBox message(QMessageBox::Information, u"Ворсик"_s, u"Готово"_s);
    window.show();
    tool.show();
    dialog.show();
    message.show();

    EXPECT_EQ(tool.layout()->menuBar(), nullptr);
    EXPECT_EQ(message.layout()->menuBar(), nullptr);
    EXPECT_NE(qobject_cast<QMenuBar *>(dialog.layout()->menuBar()), nullptr);
    auto *bar = qobject_cast<QMenuBar *>(layout->menuBar());
    ASSERT_NE(bar, nullptr);
    QStringList menus;
    for (QAction *menuAction : bar->actions()) {
        QStringList items;
        for (QAction *item : menuAction->menu()->actions())
            items.append(item->isSeparator() ? u"-"_s
                                             : item->text() + u"|"_s
                                                   + item->shortcut().toString(QKeySequence::PortableText));
        menus.append(menuAction->text() + u": "_s + items.join(u", "_s));
    }
    EXPECT_EQ(menus, (QStringList{
                         u"Ворсик: Последний текст…|, Настройки Ворсика…|Ctrl+,, -, Выйти из Ворсика|Ctrl+Q"_s,
                         u"Правка: Вырезать|Ctrl+X, Копировать|Ctrl+C, Вставить|Ctrl+V, -, Выбрать всё|Ctrl+A"_s,
                     }));

    // Edit commands go to the focused field.
    window.activateWindow();
    field->setFocus();
    ASSERT_TRUE(TestUtil::runUntil([&] { return QApplication::focusWidget() == field; }));
    const QList<QAction *> edit = delegate->mainMenu()->editActions();
    edit.at(4)->trigger(); // Выбрать всё
    edit.at(0)->trigger(); // Вырезать
    EXPECT_EQ(field->text(), QString());
    edit.at(2)->trigger(); // Вставить
    EXPECT_EQ(field->text(), u"вставленный текст"_s);

    log().clear();
    delegate->mainMenu()->applicationActions().at(1)->trigger();
    EXPECT_EQ(log(), QStringList{u"settings.show"_s});
}

} // namespace
