#include "appsettings.h"
#include "fakeneighbours.h"
#include "settingswindowcontroller.h"
#include "testutil.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
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

} // namespace
