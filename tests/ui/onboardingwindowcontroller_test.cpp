#include "core/appsettings.h"
#include "core/describederror.h"
#include "fakeneighbours.h"
#include "platform/gnome/gnomeshortcut.h"
#include "testmodels.h"
#include "testutil.h"
#include "ui/mascotview.h"
#include "ui/onboardingwindowcontroller.h"

#include <QComboBox>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <QCoro/QCoroTimer>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

class OnboardingTest : public ::testing::Test {
protected:
    // A build with the own backend, or without it (then with the test catalog's models).
    explicit OnboardingTest(bool localBuild = false, const QStringList &modelNames = { u"alpha"_s, u"beta"_s })
        : models(modelNames)
        , made(std::make_unique<OnboardingWindowController>(
              &accessibility, localBuild ? &models.downloader : nullptr, [this] { return ++settingsOpened, true; },
              MascotFrames::defaultDirectory()))
    {
        onboarding.setOnFinish([this] { ++finishes; });
    }

    TestModels models;
    FakeAccessibilityPermission accessibility;
    int settingsOpened = 0;
    int finishes = 0;
    std::unique_ptr<OnboardingWindowController> made;
    OnboardingWindowController &onboarding = *made;

    QWidget *window() const { return onboarding.window(); }
    QString text(const QString &name) const { return window()->findChild<QLabel *>(name)->text(); }
    QPushButton *primary() const { return window()->findChild<QPushButton *>(u"primaryButton"_s); }
    QPushButton *secondary() const { return window()->findChild<QPushButton *>(u"secondaryButton"_s); }
    bool shown(const QString &name) const { return window()->findChild<QWidget *>(name)->isVisibleTo(window()); }
    // The page as the user sees it: progress, title, the main button (in brackets while disabled) and Back.
    QString page() const
    {
        QStringList shown { text(u"progressLabel"_s), text(u"titleLabel"_s),
            primary()->isEnabled() ? primary()->text() : u"("_s + primary()->text() + u")"_s };
        if (secondary()->isVisibleTo(window()))
            shown.append(secondary()->text());
        return shown.join(u'|');
    }

    // Shows the window and presses the primary button: once to the microphone, twice to the accessibility page.
    void showAfterPresses(int presses)
    {
        onboarding.show();
        for (int i = 0; i < presses; ++i)
            onboarding.primaryAction();
    }

    void pressReturn() { QTest::keyClick(window(), Qt::Key_Return); }
};

TEST_F(OnboardingTest, WalksForwardThroughThePagesAndBackAgain)
{
    onboarding.show();
    EXPECT_EQ(page(), u"Добро пожаловать|Познакомимся?|Начать настройку"_s);
    onboarding.primaryAction();
    EXPECT_EQ(page(), u"Шаг 1 из 2|Разрешите микрофон|Продолжить|Назад"_s);
    onboarding.primaryAction();
    EXPECT_EQ(page(), u"Шаг 2 из 2|Разрешите вставку текста|Настроить вставку текста|Назад"_s);
    EXPECT_TRUE(onboarding.isPollingAccessibility());

    // The first press asks for the permission, a further one opens the desktop's settings.
    onboarding.primaryAction();
    EXPECT_EQ(accessibility.requests, 1);
    EXPECT_EQ(settingsOpened, 0);
    EXPECT_EQ(page(), u"Шаг 2 из 2|Разрешите вставку текста|Проверить разрешение|Назад"_s);
    onboarding.primaryAction();
    EXPECT_EQ(settingsOpened, 1);
    EXPECT_EQ(onboarding.currentStep(), OnboardingStep::accessibility);

    // Granted elsewhere: polling moves on by itself.
    accessibility.busEnabled = true;
    ASSERT_TRUE(TestUtil::runUntil([&] { return onboarding.currentStep() == OnboardingStep::ready; }));
    EXPECT_FALSE(onboarding.isPollingAccessibility());
    EXPECT_EQ(page(), u"Настройка завершена|Нажмите Fn, чтобы Ворсик попробовал за вами записать|(Готово)|Назад"_s);
    EXPECT_TRUE(shown(u"fnKeyboardHint"_s));

    onboarding.secondaryAction();
    EXPECT_EQ(page(), u"Шаг 2 из 2|Разрешите вставку текста|Продолжить|Назад"_s);
    EXPECT_EQ(text(u"detailLabel"_s), u"Разрешение уже включено. Можно продолжать."_s);
    EXPECT_FALSE(onboarding.isPollingAccessibility());
    EXPECT_FALSE(shown(u"fnKeyboardHint"_s));
}

TEST_F(OnboardingTest, CompletesOnceAndOnlyWhileTheLastTestSucceeded)
{
    accessibility.busEnabled = true;
    showAfterPresses(3);
    ASSERT_EQ(onboarding.currentStep(), OnboardingStep::ready);
    pressReturn();
    onboarding.primaryAction();
    EXPECT_EQ(finishes, 0);
    using Call = void (OnboardingWindowController::*)();
    const std::tuple<Call, QString, QString, QString> stages[] = {
        { &OnboardingWindowController::showTestConnecting, u"Ворсик ищет ручку…"_s, u"Ворсик ищет ручку…"_s,
            u"VorsSearching1"_s },
        { &OnboardingWindowController::showTestListening, u"Говорите. Нажмите Fn ещё раз, когда закончите"_s,
            u"Говорите — нажмите Fn второй раз, когда закончите."_s, u"VorsWriting1"_s },
        { &OnboardingWindowController::showTestProcessing, u"Ворсик редактирует текст"_s,
            u"Ворсик редактирует текст…"_s, u"VorsEditing1"_s },
    };
    for (const auto &[call, title, field, frame] : stages) {
        (onboarding.*call)();
        EXPECT_EQ(page(), u"Проверка работы|"_s + title + u"|(Готово)|Назад"_s);
        EXPECT_EQ(text(u"testResultField"_s), field);
        EXPECT_EQ(window()->findChild<MascotView *>()->currentFrameName(), frame);
        EXPECT_TRUE(onboarding.isAnimatingMascot());
    }

    onboarding.showTestResult(u"Проверка связи"_s);
    EXPECT_EQ(text(u"testResultField"_s), u"Проверка связи"_s);
    EXPECT_EQ(page(), u"Проверка завершена|Всё работает!|Давайте работать|Назад"_s);

    onboarding.showTestError(u"нет сети"_s);
    EXPECT_EQ(page(), u"Попробуем ещё раз|Не получилось|(Готово)|Назад"_s);
    EXPECT_EQ(text(u"testResultField"_s), u"Не получилось: нет сети\nНажмите Fn и попробуйте ещё раз."_s);
    EXPECT_EQ(text(u"detailLabel"_s), u"Настройка пока не завершена. Проверим ещё раз."_s);
    onboarding.primaryAction();
    pressReturn();
    // Leaving the page and coming back keeps the failure: no success is remembered.
    onboarding.secondaryAction();
    onboarding.primaryAction();
    EXPECT_EQ(text(u"testResultField"_s), u"Нажмите Fn и скажите что-нибудь…"_s);
    EXPECT_EQ(finishes, 0);
    EXPECT_FALSE(AppSettings::onboardingCompleted());
    EXPECT_TRUE(window()->isVisible());

    onboarding.showTestResult(u"Вторая попытка"_s);
    pressReturn();
    onboarding.primaryAction();
    EXPECT_EQ(finishes, 1);
    EXPECT_TRUE(AppSettings::onboardingCompleted());
    EXPECT_FALSE(window()->isVisible());
    EXPECT_FALSE(onboarding.isAnimatingMascot());
    // Once finished, test feedback no longer reaches the window.
    onboarding.showTestConnecting();
    EXPECT_EQ(text(u"titleLabel"_s), u"Всё работает!"_s);
}

// The real GNOME shortcut on the test's GSettings key file: offered on GNOME only, taken keys refused on
// the page, and the ready page names the keys where Fn cannot be read.
TEST_F(OnboardingTest, OffersAGnomeShortcutForTheToggleCommandOnlyOnGnome)
{
    GnomeShortcut gnome(u"/usr/bin/verbulo"_s);
    onboarding.setToggleShortcut(&gnome);
    accessibility.busEnabled = true;
    qputenv("XDG_CURRENT_DESKTOP", "KDE");
    showAfterPresses(3);
    EXPECT_EQ(onboarding.currentStep(), OnboardingStep::ready);

    qputenv("XDG_CURRENT_DESKTOP", "ubuntu:GNOME");
    if (!gnome.isAvailable())
        GTEST_SKIP() << "needs GNOME's media-keys schema (gnome-settings-daemon-common)";
    onboarding.secondaryAction();
    EXPECT_EQ(page(), u"Шаг 3 из 3|Сочетание клавиш для диктовки|Назначить сочетание|Пропустить"_s);
    auto *edit = window()->findChild<QKeySequenceEdit *>(u"shortcutEdit"_s);
    ASSERT_TRUE(edit->isVisibleTo(window()));
    EXPECT_EQ(edit->keySequence(), QKeySequence(Qt::ControlModifier | Qt::AltModifier | Qt::Key_Space));

    edit->setKeySequence(QKeySequence(Qt::MetaModifier | Qt::Key_L));
    onboarding.primaryAction();
    EXPECT_EQ(onboarding.currentStep(), OnboardingStep::shortcut);
    EXPECT_TRUE(text(u"detailLabel"_s).startsWith(u"Сочетание Meta+L уже занято"_s));
    EXPECT_EQ(gnome.current(), std::nullopt);

    edit->setKeySequence(QKeySequence(Qt::ControlModifier | Qt::AltModifier | Qt::Key_D));
    onboarding.primaryAction();
    EXPECT_EQ(onboarding.currentStep(), OnboardingStep::ready);
    EXPECT_EQ(gnome.current(), QKeyCombination(Qt::ControlModifier | Qt::AltModifier, Qt::Key_D));
    onboarding.setTrigger(DictationTrigger::toggleCommand);
    EXPECT_EQ(text(u"detailLabel"_s), u"Клавиша Fn недоступна: нажимайте вместо неё Ctrl+Alt+D."_s);
    EXPECT_FALSE(edit->isVisibleTo(window()));
}

class ModelStepTest : public OnboardingTest {
protected:
    ModelStepTest()
        : OnboardingTest(true)
    {
    }
};

TEST_F(ModelStepTest, TheTestDictationWaitsUntilAModelIsOnThisComputer)
{
    accessibility.busEnabled = true;
    showAfterPresses(3);
    window()->findChild<QComboBox *>(u"modelPicker"_s)->setCurrentIndex(1);
    EXPECT_EQ(page(), u"Шаг 3 из 3|Скачайте модель распознавания|Скачать · 1 МБ|Назад"_s);
    EXPECT_FALSE(onboarding.awaitsTestDictation());

    models.server.enqueue(LoopbackHttpServer::Response::neverAnswering());
    onboarding.primaryAction();
    EXPECT_EQ(page(), u"Шаг 3 из 3|Скачиваю модель распознавания|(Скачивается…)|Отменить загрузку"_s);
    ASSERT_TRUE(TestUtil::runUntil([&] { return models.server.requestCount() == 1; }));
    onboarding.secondaryAction();
    ASSERT_TRUE(TestUtil::runUntil([&] { return !models.downloader.isDownloading(u"beta"_s); }));
    EXPECT_EQ(page(), u"Шаг 3 из 3|Скачайте модель распознавания|Скачать · 1 МБ|Назад"_s);

    models.server.enqueue(LoopbackHttpServer::Response::json(404, "нет"));
    pressReturn();
    ASSERT_TRUE(TestUtil::runUntil([&] { return !models.downloader.isDownloading(u"beta"_s); }));
    EXPECT_TRUE(shown(u"downloadText"_s));
    EXPECT_TRUE(text(u"downloadText"_s).startsWith(u"Не удалось скачать: Модели «beta» нет"_s))
        << text(u"downloadText"_s).toStdString();

    QStringList shownProgress, reported;
    QObject::connect(&models.downloader, &ModelDownloader::progressChanged, window(),
        [&](const ModelDownloader::Progress &progress) {
            reported.append(progress.text());
            shownProgress.append(text(u"downloadText"_s));
        });
    onboarding.primaryAction();
    ASSERT_TRUE(TestUtil::runUntil([&] { return models.store.isInstalled(u"beta"_s); }));
    EXPECT_FALSE(reported.isEmpty());
    EXPECT_EQ(shownProgress, reported);
    EXPECT_EQ(page(), u"Шаг 3 из 3|Модель распознавания готова|Продолжить|Назад"_s);
    onboarding.primaryAction();
    EXPECT_EQ(onboarding.currentStep(), OnboardingStep::ready);
    EXPECT_TRUE(onboarding.awaitsTestDictation());
    // The only model is what the empty setting picks anyway: the setting stays as it was.
    EXPECT_EQ(AppSettings::string(AppSettings::Keys::localModel), std::nullopt);

    // A model deleted in the meantime sends the walkthrough back to the model step.
    models.store.remove(u"beta"_s);
    onboarding.show();
    EXPECT_EQ(onboarding.currentStep(), OnboardingStep::model);
    EXPECT_FALSE(onboarding.awaitsTestDictation());
}

// Whisper's names, so that what suits the computer depends on it.
class ServerStepTest : public OnboardingTest {
protected:
    ServerStepTest()
        : OnboardingTest(true, { u"base"_s, u"small"_s })
    {
        onboarding.setServerModelLister([this](RecognitionPlaceView::Server server) -> QCoro::Task<QStringList> {
            asked.append(server.url);
            co_await QCoro::sleepFor(std::chrono::milliseconds(20)); // the answer takes a moment
            if (!refusal.isEmpty())
                throw DescribedError(refusal);
            co_return QStringList { u"whisper-large"_s, u"whisper-small"_s };
        });
        accessibility.busEnabled = true;
    }
    template<typename Widget> Widget *find(const QString &name) const { return window()->findChild<Widget *>(name); }

    QStringList asked;
    QString refusal;
};

TEST_F(ServerStepTest, AComputerBelowWhatTheLanguageDeservesMayNameAServerInstead)
{
    constexpr qint64 gib = qint64(1) << 30;
    onboarding.setMachineFacts({ 16, true, 32 * gib });
    showAfterPresses(3);
    EXPECT_FALSE(shown(u"serverOffer"_s)); // this computer runs what suits the language
    onboarding.setMachineFacts({ 2, false, 4 * gib });
    onboarding.secondaryAction();
    onboarding.primaryAction();
    ASSERT_TRUE(shown(u"serverOffer"_s));

    find<QPushButton>(u"serverOffer"_s)->click();
    EXPECT_EQ(page(), u"Шаг 3 из 3|Сервер распознавания|Проверить и продолжить|К моделям"_s);
    EXPECT_FALSE(shown(u"modelPicker"_s));
    EXPECT_TRUE(text(u"bodyLabel"_s).startsWith(u"Речь распознаёт ваш сервер"_s)) << text(u"bodyLabel"_s).toStdString();
    onboarding.primaryAction();
    EXPECT_EQ(text(u"downloadText"_s), u"Впишите адрес сервера."_s);
    EXPECT_TRUE(asked.isEmpty());

    // Each answer that cannot be used keeps the step and says why; the last one goes on.
    find<QLineEdit>(u"serverAddress"_s)->setText(u"https://gpu.office:8000"_s);
    auto *model = find<QComboBox>(u"serverModel"_s);
    const struct {
        QString refusal, model, says;
    } answers[] = {
        { u"Сервер распознавания https://gpu.office:8000 не отвечает."_s, {},
            u"Сервер распознавания https://gpu.office:8000 не отвечает."_s },
        { {}, u"whisper-tiny"_s, u"На сервере нет модели «whisper-tiny»: выберите одну из его моделей."_s },
    };
    for (const auto &answer : answers) {
        refusal = answer.refusal;
        model->setCurrentText(answer.model);
        onboarding.primaryAction();
        EXPECT_EQ(page(), u"Шаг 3 из 3|Сервер распознавания|(Проверить и продолжить)|К моделям"_s);
        EXPECT_EQ(text(u"downloadText"_s), u"Спрашиваю сервер о моделях…"_s);
        ASSERT_TRUE(TestUtil::runUntil([&] { return text(u"downloadText"_s) == answer.says; }))
            << text(u"downloadText"_s).toStdString();
        EXPECT_EQ(onboarding.currentStep(), OnboardingStep::model);
        EXPECT_EQ(AppSettings::string(AppSettings::Keys::recognitionServerURL), std::nullopt);
    }
    model->setCurrentText(u"whisper-small"_s);
    onboarding.primaryAction();
    ASSERT_TRUE(TestUtil::runUntil([&] { return onboarding.currentStep() == OnboardingStep::ready; }));
    EXPECT_EQ(asked.size(), 3);
    EXPECT_EQ(AppSettings::string(AppSettings::Keys::recognitionServerURL), u"https://gpu.office:8000"_s);
    EXPECT_EQ(AppSettings::string(AppSettings::Keys::recognitionServerModel), u"whisper-small"_s);
    EXPECT_TRUE(onboarding.awaitsTestDictation());

    // Back on the step the server's form shows; a model chosen on this computer instead undoes the server.
    onboarding.secondaryAction();
    EXPECT_EQ(text(u"titleLabel"_s), u"Сервер распознавания"_s);
    onboarding.secondaryAction();
    EXPECT_TRUE(shown(u"modelPicker"_s));
    EXPECT_TRUE(text(u"bodyLabel"_s).startsWith(u"Речь распознаётся прямо на этом компьютере"_s));
    models.install(u"base"_s);
    find<QComboBox>(u"modelPicker"_s)->setCurrentIndex(find<QComboBox>(u"modelPicker"_s)->findData(u"base"_s));
    onboarding.primaryAction();
    EXPECT_EQ(onboarding.currentStep(), OnboardingStep::ready);
    EXPECT_EQ(AppSettings::string(AppSettings::Keys::recognitionServerURL), u""_s);
}

} // namespace
