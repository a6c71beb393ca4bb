#include "core/appsettings.h"
#include "fakeneighbours.h"
#include "platform/gnome/gnomeshortcut.h"
#include "testmodels.h"
#include "testutil.h"
#include "ui/settingswindowcontroller.h"

#include <QCheckBox>
#include <QComboBox>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

class SettingsWindowTest : public ::testing::Test {
protected:
    SettingsWindowTest() { TestUtil::clearSettings(); }

    FakeAccessibilityPermission accessibility;
    SettingsWindowController settings { &accessibility };

    QWidget *window() const { return settings.window(); }
    QComboBox *modePopup() const { return window()->findChild<QComboBox *>(u"modePopup"_s); }
    QLineEdit *field(const QString &name) const { return window()->findChild<QLineEdit *>(name); }
    QLineEdit *vocabulary() const { return field(u"vocabularyField"_s); }
    QLineEdit *prompt() const { return field(u"promptField"_s); }
    void click(const QString &button) const
    {
        QTest::mouseClick(window()->findChild<QPushButton *>(button), Qt::LeftButton);
    }
    static std::optional<QString> stored(QStringView key) { return AppSettings::string(key); }
};

// Pasting by keystrokes is offered only where it can work and starts off; saving tells the paste path only when it
// changed.
TEST_F(SettingsWindowTest, PastingByKeystrokesIsOffUntilTurnedOnAndEachChangeIsPassedOn)
{
    SettingsWindowController elsewhere { &accessibility };
    elsewhere.show();
    EXPECT_EQ(elsewhere.window()->findChild<QCheckBox *>(u"remoteDesktopPaste"_s), nullptr) << "offered elsewhere";
    settings.offerRemoteDesktopPaste();
    QList<bool> changes;
    QObject::connect(&settings, &SettingsWindowController::remoteDesktopPasteChanged, [&](bool on) { changes << on; });
    for (const bool on : { false, true, true, false }) {
        settings.show();
        auto *box = window()->findChild<QCheckBox *>(u"remoteDesktopPaste"_s);
        EXPECT_EQ(box->isChecked(), AppSettings::boolValue(AppSettings::Keys::remoteDesktopPaste));
        box->setChecked(on);
        click(u"saveButton"_s);
    }
    EXPECT_EQ(changes, QList<bool>({ true, false }));
    EXPECT_FALSE(AppSettings::boolValue(AppSettings::Keys::remoteDesktopPaste));
}

// Nothing stored shows the defaults, not the placeholders, and saving them writes all four keys.
TEST_F(SettingsWindowTest, SavingWritesTheDefaultsShownOrTheFieldsExactlyAsTyped)
{
    AppSettings::setString(AppSettings::Keys::aiProvider, u"openAI"_s);
    settings.show();
    EXPECT_EQ(modePopup()->currentText(), u"Исправлять ошибки — рекомендуется"_s);
    EXPECT_EQ(modePopup()->count(), 3);
    EXPECT_EQ(vocabulary()->text(), AppSettings::defaultCustomVocabulary());
    EXPECT_EQ(prompt()->text(), AppSettings::defaultTranscriptionPrompt());
    EXPECT_EQ(vocabulary()->placeholderText(), u"ChatGPT, Codex, название компании…"_s);
    EXPECT_EQ(prompt()->placeholderText(), u"Контекст вашей обычной диктовки"_s);
    click(u"saveButton"_s);
    EXPECT_EQ(stored(AppSettings::Keys::aiProvider), u"vorsik"_s);
    EXPECT_EQ(stored(AppSettings::Keys::smartMode), u"clean"_s);
    EXPECT_EQ(stored(AppSettings::Keys::customVocabulary), AppSettings::defaultCustomVocabulary());
    EXPECT_EQ(stored(AppSettings::Keys::transcriptionPrompt), AppSettings::defaultTranscriptionPrompt());
    EXPECT_FALSE(window()->isVisible());

    // Return in a field saves the fields exactly as typed.
    settings.show();
    modePopup()->setCurrentIndex(2);
    vocabulary()->setText(u"  Ворсик,  Qt , "_s);
    prompt()->clear();
    QTest::keyClick(vocabulary(), Qt::Key_Return);
    EXPECT_EQ(stored(AppSettings::Keys::smartMode), u"structured"_s);
    EXPECT_EQ(stored(AppSettings::Keys::customVocabulary), u"  Ворсик,  Qt , "_s);
    EXPECT_EQ(stored(AppSettings::Keys::transcriptionPrompt), QString());
    EXPECT_FALSE(window()->isVisible());
}

TEST_F(SettingsWindowTest, CancelAndTheCloseBoxDiscardEditsAskingForAccessibilityDoesNot)
{
    AppSettings::setString(AppSettings::Keys::customVocabulary, u"Сохранённое"_s);
    AppSettings::setString(AppSettings::Keys::smartMode, u"verbatim"_s);
    settings.show();
    EXPECT_EQ(modePopup()->currentText(), u"Без обработки"_s);
    vocabulary()->setText(u"Правка"_s);
    modePopup()->setCurrentIndex(2);
    click(u"accessibilityButton"_s);
    EXPECT_EQ(accessibility.requests, 1);
    EXPECT_TRUE(window()->isVisible());
    click(u"cancelButton"_s);
    EXPECT_FALSE(window()->isVisible());
    EXPECT_EQ(stored(AppSettings::Keys::customVocabulary), u"Сохранённое"_s);
    EXPECT_EQ(stored(AppSettings::Keys::smartMode), u"verbatim"_s);

    settings.show();
    EXPECT_EQ(vocabulary()->text(), u"Сохранённое"_s);
    prompt()->setText(u"Правка"_s);
    window()->close();
    EXPECT_EQ(stored(AppSettings::Keys::transcriptionPrompt), std::nullopt);
    EXPECT_EQ(stored(AppSettings::Keys::aiProvider), std::nullopt);
    settings.show();
    EXPECT_EQ(prompt()->text(), AppSettings::defaultTranscriptionPrompt());
}

// A build without the own backend: the same window with the models of a test catalog.
class ModelSectionTest : public ::testing::Test {
protected:
    TestModels models;
    FakeAccessibilityPermission accessibility;
    SettingsWindowController settings { &accessibility, &models.downloader };

    template<typename T = QWidget> T *in(const QString &model, const QString &name = {}) const
    {
        auto *row = settings.window()->findChild<QWidget *>(u"model-"_s + model);
        return name.isEmpty() ? qobject_cast<T *>(row) : row->findChild<T *>(name);
    }
    QRadioButton *choice(const QString &model) const { return in(model)->findChild<QRadioButton *>(); }
    // A model's row as the user sees it: status, the buttons shown, whether it can be chosen.
    QString row(const QString &model) const
    {
        QStringList shown { in<QLabel>(model, u"status"_s)->text() };
        for (auto *button : in(model)->findChildren<QPushButton *>())
            if (button->isVisibleTo(settings.window()))
                shown.append(button->text());
        shown.append(choice(model)->isEnabled() ? u"on"_s : u"off"_s);
        return shown.join(u'|');
    }
    void answerRemoval(const QString &answer) const
    {
        // An answered question is only deleted later: the one asking is the visible one.
        for (auto *box : settings.window()->findChildren<QMessageBox *>(u"removalQuestion"_s))
            for (QAbstractButton *button : box->isVisible() ? box->buttons() : QList<QAbstractButton *>())
                if (button->text() == answer)
                    return button->click();
        ADD_FAILURE() << "no question about deleting with " << answer.toStdString();
    }
};

TEST_F(ModelSectionTest, ListsTheModelsHereAndSavesDeletesWhatTheUserChose)
{
    models.install(u"alpha"_s);
    const QString ownFile = u"/opt/models/ggml-own.bin"_s;
    AppSettings::setString(AppSettings::Keys::localModel, ownFile);
    settings.show();
    EXPECT_EQ(row(u"alpha"_s), u"на компьютере|Удалить|on"_s);
    EXPECT_EQ(row(u"beta"_s), u"не скачана|Скачать|off"_s);
    auto *own = settings.window()->findChild<QRadioButton *>(u"ownModelFile"_s);
    EXPECT_TRUE(own->isChecked() && own->isVisible());
    EXPECT_TRUE(own->text().endsWith(ownFile));
    settings.save();
    EXPECT_EQ(AppSettings::localModel(), ownFile);

    // The language, spoken punctuation and the online editor: the defaults shown, a code typed by hand kept.
    auto *language = settings.window()->findChild<QComboBox *>(u"languagePopup"_s);
    auto *punctuation = settings.window()->findChild<QCheckBox *>(u"spokenPunctuation"_s);
    auto *online = settings.window()->findChild<QCheckBox *>(u"editWithOpenAI"_s);
    EXPECT_EQ(language->currentData().toString(), u"ru"_s);
    EXPECT_TRUE(punctuation->isChecked());
    EXPECT_FALSE(online->isChecked()) << "the text leaves the computer only by the user's choice";
    EXPECT_TRUE(online->text().contains(u"не запись"_s));
    AppSettings::setString(AppSettings::Keys::localLanguage, u"pl"_s);
    settings.showModels();
    EXPECT_EQ(language->currentText(), u"pl"_s);
    choice(u"alpha"_s)->click();
    punctuation->click();
    online->click();
    settings.save();
    EXPECT_EQ(AppSettings::localModel(), u"alpha"_s);
    EXPECT_EQ(AppSettings::localLanguage(), u"pl"_s);
    EXPECT_FALSE(AppSettings::localSpokenPunctuation());
    EXPECT_TRUE(AppSettings::boolValue(AppSettings::Keys::localEditWithOpenAI));

    // Vocabulary the model could not read at the last dictation is named while it is in the list.
    auto *leftOut = settings.window()->findChild<QLabel *>(u"vocabularyLeftOut"_s);
    AppSettings::setString(AppSettings::Keys::customVocabulary, u"Ворсик, Qt, ГОСТ"_s);
    for (const auto &[stored, named] :
        { std::pair { u"Qt, ГОСТ"_s, u"не вошли: Qt, ГОСТ."_s }, std::pair { u"Удалённое"_s, QString() } }) {
        AppSettings::setString(AppSettings::Keys::localVocabularyLeftOut, stored);
        settings.show();
        EXPECT_EQ(leftOut->isVisibleTo(settings.window()), !named.isEmpty());
        EXPECT_TRUE(leftOut->text().contains(named)) << leftOut->text().toStdString();
    }
    settings.show();
    language->setCurrentIndex(language->findData(u"auto"_s));
    settings.save();
    EXPECT_EQ(AppSettings::localLanguage(), u"auto"_s);

    // Deleting asks first, and a stored choice of the model goes with the file.
    settings.show();
    in<QPushButton>(u"alpha"_s, u"remove"_s)->click();
    answerRemoval(u"Оставить"_s);
    EXPECT_TRUE(models.store.isInstalled(u"alpha"_s));
    in<QPushButton>(u"alpha"_s, u"remove"_s)->click();
    answerRemoval(u"Удалить"_s);
    EXPECT_FALSE(QFile::exists(models.path(u"alpha"_s)));
    EXPECT_EQ(row(u"alpha"_s), u"не скачана|Скачать|off"_s);
    EXPECT_EQ(AppSettings::localModel(), QString());
}

// Where recognition runs: this computer unless the user names a server, whose list of models
// fills the model field; an empty address is this computer.
TEST_F(ModelSectionTest, ARecognitionServerIsChosenWithTheModelsItLists)
{
    QStringList asked;
    settings.setServerModelLister([&asked](RecognitionPlaceView::Server server) -> QCoro::Task<QStringList> {
        asked.append(server.url + u' ' + server.caFile + (server.allowUnencrypted ? u" +"_s : u" -"_s));
        co_return QStringList { u"whisper-large"_s, u"whisper-small"_s };
    });
    settings.show();
    const auto find
        = [&](const char *name) { return settings.window()->findChild<QWidget *>(QLatin1StringView(name)); };
    auto *onServer = qobject_cast<QRadioButton *>(find("recognizeOnServer"));
    auto *address = qobject_cast<QLineEdit *>(find("serverAddress"));
    auto *model = qobject_cast<QComboBox *>(find("serverModel"));
    EXPECT_TRUE(qobject_cast<QRadioButton *>(find("recognizeHere"))->isChecked());
    EXPECT_FALSE(address->isEnabled());
    onServer->click();
    address->setText(u"https://gpu.office:8000"_s);
    Q_EMIT address->editingFinished();
    ASSERT_TRUE(TestUtil::runUntil([&] { return model->count() == 2; }));
    EXPECT_EQ(asked, QStringList { u"https://gpu.office:8000  -"_s });
    EXPECT_EQ(model->currentText(), u"whisper-large"_s);
    settings.save();
    EXPECT_EQ(AppSettings::string(AppSettings::Keys::recognitionServerURL), u"https://gpu.office:8000"_s);
    EXPECT_EQ(AppSettings::string(AppSettings::Keys::recognitionServerModel), u"whisper-large"_s);
    EXPECT_FALSE(AppSettings::boolValue(AppSettings::Keys::recognitionServerAllowUnencrypted));
    settings.show();
    EXPECT_TRUE(onServer->isChecked());
    qobject_cast<QRadioButton *>(find("recognizeHere"))->click();
    settings.save();
    EXPECT_EQ(AppSettings::string(AppSettings::Keys::recognitionServerURL), QString());
}

TEST_F(ModelSectionTest, ADownloadShowsItsProgressCancelAndFailureInTheRow)
{
    settings.show();
    QStringList shown, reported;
    QObject::connect(&models.downloader, &ModelDownloader::progressChanged, settings.window(),
        [&](const ModelDownloader::Progress &progress) {
            reported.append(progress.text());
            shown.append(in<QLabel>(progress.name, u"progress"_s)->text());
        });
    in<QPushButton>(u"beta"_s, u"download"_s)->click();
    ASSERT_TRUE(TestUtil::runUntil([&] { return models.store.isInstalled(u"beta"_s); }));
    EXPECT_FALSE(reported.isEmpty());
    EXPECT_EQ(shown, reported);
    EXPECT_EQ(row(u"beta"_s), u"на компьютере|Удалить|on"_s);

    models.server.enqueue(LoopbackHttpServer::Response::neverAnswering());
    in<QPushButton>(u"alpha"_s, u"download"_s)->click();
    EXPECT_EQ(row(u"alpha"_s), u"скачивается|Отменить|off"_s);
    ASSERT_TRUE(TestUtil::runUntil([&] { return models.server.requestCount() == 2; }));
    in<QPushButton>(u"alpha"_s, u"cancel"_s)->click();
    ASSERT_TRUE(TestUtil::runUntil([&] { return !models.downloader.isDownloading(u"alpha"_s); }));
    EXPECT_EQ(row(u"alpha"_s), u"не скачана|Скачать|off"_s);

    models.server.enqueue(LoopbackHttpServer::Response::json(404, "нет"));
    in<QPushButton>(u"alpha"_s, u"download"_s)->click();
    auto *error = in<QLabel>(u"alpha"_s, u"error"_s);
    ASSERT_TRUE(TestUtil::runUntil([&] { return error->isVisible(); }));
    EXPECT_TRUE(error->text().startsWith(u"Не удалось скачать: "_s)) << error->text().toStdString();
    EXPECT_EQ(row(u"alpha"_s), u"не скачана|Скачать|off"_s);
}

// On GNOME a row shows the shortcut for `verbulo --toggle` and saving changes it; keys GNOME uses keep the
// window open with the reason and save nothing.
TEST(SettingsShortcutTest, GnomeShortcutIsShownAndChangedOnSave)
{
    qputenv("XDG_CURRENT_DESKTOP", "GNOME");
    GnomeShortcut gnome(u"/usr/bin/verbulo"_s);
    if (!gnome.isAvailable())
        GTEST_SKIP() << "needs GNOME's media-keys schema (gnome-settings-daemon-common)";
    ASSERT_TRUE(gnome.assign(QKeyCombination(Qt::ControlModifier | Qt::AltModifier, Qt::Key_Space)).ok());
    FakeAccessibilityPermission accessibility;
    SettingsWindowController settings(&accessibility);
    settings.setToggleShortcut(&gnome);
    settings.show();
    auto *edit = settings.window()->findChild<QKeySequenceEdit *>(u"shortcutEdit"_s);
    ASSERT_TRUE(edit);
    EXPECT_EQ(edit->keySequence(), QKeySequence(u"Ctrl+Alt+Space"_s));

    AppSettings::setString(AppSettings::Keys::transcriptionPrompt, u"прежний"_s);
    settings.window()->findChild<QLineEdit *>(u"promptField"_s)->setText(u"новый"_s);
    edit->setKeySequence(QKeySequence(u"Meta+L"_s));
    settings.save();
    EXPECT_TRUE(settings.window()->isVisible());
    EXPECT_TRUE(settings.window()->findChild<QLabel *>(u"shortcutError"_s)->text().contains(u"уже занято"_s));
    EXPECT_EQ(AppSettings::transcriptionPrompt(), u"прежний"_s);

    edit->setKeySequence(QKeySequence(u"Meta+F9"_s));
    settings.save();
    EXPECT_FALSE(settings.window()->isVisible());
    EXPECT_EQ(gnome.current(), QKeyCombination(Qt::MetaModifier, Qt::Key_F9));
    EXPECT_EQ(AppSettings::transcriptionPrompt(), u"новый"_s);
}

// A user whose dictation runs on a whisper model hears of the model made for their language once.
TEST(BetterModelOffer, ShownOnceToAWhisperUserOfALanguageWithABetterModel)
{
    TestModels models;
    QList<ModelCatalogEntry> catalog = TestModels::catalog();
    catalog.append(*ModelCatalog::find(ModelCatalog::builtIn(), u"gigaam-v3-e2e-ctc-q4_k_m"));
    ModelStore store(models.folder.path(), catalog);
    ModelDownloader downloader(store);
    FakeAccessibilityPermission accessibility;
    const std::tuple<const char *, bool, bool> cases[] = {
        { "ja", true, false }, // whisper is what there is for it
        { "ru", false, false }, // no model yet: the walkthrough's business
        { "ru", true, true }, { "ru", true, false }, // once
    };
    for (const auto &[language, whisperInstalled, offered] : cases) {
        SCOPED_TRACE(language);
        AppSettings::setString(AppSettings::Keys::localLanguage, QString::fromLatin1(language));
        if (whisperInstalled)
            models.install(u"alpha"_s);
        else
            QFile::remove(models.path(u"alpha"_s));
        SettingsWindowController settings(&accessibility, &downloader);
        settings.show();
        auto *offer = settings.window()->findChild<QWidget *>(u"betterModelOffer"_s);
        EXPECT_EQ(offer->isVisibleTo(settings.window()), offered);
        EXPECT_EQ(AppSettings::boolValue(AppSettings::Keys::localBetterModelOffered),
            offered || (std::string(language) == "ru" && whisperInstalled));
        if (!offered)
            continue;
        EXPECT_TRUE(offer->findChild<QLabel *>()->text().contains(u"лучше, чем alpha: gigaam-v3-e2e-ctc-q4_k_m"_s));
        offer->findChild<QPushButton *>(u"offerDownload"_s)->click();
        EXPECT_TRUE(downloader.isDownloading(u"gigaam-v3-e2e-ctc-q4_k_m"));
        EXPECT_FALSE(offer->isVisibleTo(settings.window()));
        downloader.cancel(u"gigaam-v3-e2e-ctc-q4_k_m"_s);
        settings.cancel();
    }
}

} // namespace
