#include "ui/settingswindowcontroller.h"
#include "ui/uifont.h"

#include "core/appsettings.h"
#include "platform/gnome/toggleshortcut.h"
#include "ui/controllerwindow.h"
#include "ui/modellistview.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace {

QLabel *makeSecondaryText(const QString &text, int pixelSize, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    label->setFont(systemFont(pixelSize));
    QPalette palette = label->palette();
    QColor colour = palette.color(QPalette::WindowText);
    colour.setAlphaF(0.62f);
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
    return label;
}

} // namespace

SettingsWindowController::SettingsWindowController(
    AbstractAccessibilityPermission *accessibility, ModelDownloader *localModels, QObject *parent)
    : QObject(parent)
    , m_accessibility(accessibility)
    , m_localModels(localModels)
{
}

SettingsWindowController::~SettingsWindowController() = default;

QWidget *SettingsWindowController::window() const { return m_window.get(); }

void SettingsWindowController::show()
{
    if (!m_window)
        buildWindow();
    loadValues();
    m_window->presentInFront();
}

void SettingsWindowController::buildWindow()
{
    m_window = std::make_unique<ControllerWindow>();
    m_window->setObjectName(u"settingsWindow"_s);
    m_window->setWindowTitle(u"Настройки Ворсика"_s);
    m_window->resize(720, m_localModels ? 680 : 500);
    // Closing by the close box writes nothing, exactly as "Отмена"; show() reloads anyway.
    m_window->onReturn = [this] { save(); };

    auto *windowStack = new QVBoxLayout(m_window.get());
    windowStack->setContentsMargins(30, 26, 30, 24);
    windowStack->setSpacing(18);
    QWidget *page = m_window.get();
    QVBoxLayout *stack = windowStack;
    if (m_localModels) {
        // The models make the page taller than a window should be: all but the buttons scrolls.
        m_scrollArea = new QScrollArea(m_window.get());
        m_scrollArea->setObjectName(u"settingsScrollArea"_s);
        m_scrollArea->setFrameShape(QFrame::NoFrame);
        m_scrollArea->setWidgetResizable(true);
        m_scrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        page = new QWidget;
        page->setBackgroundRole(QPalette::Window);
        m_scrollArea->setWidget(page);
        m_scrollArea->viewport()->setBackgroundRole(QPalette::Window);
        stack = new QVBoxLayout(page);
        stack->setContentsMargins(30, 26, 30, 8);
        stack->setSpacing(18);
        windowStack->setContentsMargins(0, 0, 0, 24);
        windowStack->setSpacing(14);
        windowStack->addWidget(m_scrollArea, 1);
    }

    auto *header = new QLabel(u"Ворсик"_s, page);
    header->setFont(systemFont(26, QFont::Bold));
    stack->addWidget(header, 0, Qt::AlignLeft);

    stack->addWidget(makeSecondaryText(u"В любом приложении нажмите Fn один раз, говорите, затем нажмите Fn второй "
                                       "раз для обработки и вставки текста."_s,
        14, page));

    auto *grid = new QGridLayout;
    grid->setVerticalSpacing(14);
    grid->setHorizontalSpacing(16);
    m_modePopup = new QComboBox(page);
    m_modePopup->setObjectName(u"modePopup"_s);
    for (SmartMode mode : allSmartModes)
        m_modePopup->addItem(displayTitle(mode), QVariant::fromValue(int(mode)));
    m_vocabularyField = new QLineEdit(page);
    m_vocabularyField->setObjectName(u"vocabularyField"_s);
    m_vocabularyField->setPlaceholderText(u"ChatGPT, Codex, название компании…"_s);
    m_promptField = new QLineEdit(page);
    m_promptField->setObjectName(u"promptField"_s);
    m_promptField->setPlaceholderText(u"Контекст вашей обычной диктовки"_s);
    QList<std::pair<QString, QWidget *>> rows = { { u"После диктовки"_s, m_modePopup },
        { u"Имена и термины"_s, m_vocabularyField }, { u"Контекст речи"_s, m_promptField } };
    if (m_toggleShortcut && m_toggleShortcut->isAvailable()) {
        m_shortcutEdit = new QKeySequenceEdit(page);
        m_shortcutEdit->setObjectName(u"shortcutEdit"_s);
        rows.append({ u"Сочетание в GNOME"_s, m_shortcutEdit });
    }
    int row = 0;
    for (const auto &[title, control] : std::as_const(rows)) {
        auto *label = new QLabel(title, page);
        label->setBuddy(control);
        grid->addWidget(label, row, 0, Qt::AlignRight | Qt::AlignVCenter);
        control->setFixedWidth(430);
        control->setMinimumHeight(30);
        grid->addWidget(control, row, 1, Qt::AlignLeft | Qt::AlignVCenter);
        ++row;
    }
    grid->setColumnStretch(0, 1);
    stack->addLayout(grid);
    m_vocabularyLeftOut = makeSecondaryText(QString(), 12, page);
    m_vocabularyLeftOut->setObjectName(u"vocabularyLeftOut"_s);
    m_vocabularyLeftOut->hide();
    stack->addWidget(m_vocabularyLeftOut);
    if (m_shortcutEdit) {
        m_shortcutError = makeSecondaryText(QString(), 12, page);
        m_shortcutError->setObjectName(u"shortcutError"_s);
        QPalette palette = m_shortcutError->palette();
        palette.setColor(QPalette::WindowText, QColor(192, 28, 40));
        m_shortcutError->setPalette(palette);
        m_shortcutError->hide();
        stack->addWidget(m_shortcutError);
    }

    if (!m_localModels) {
        stack->addWidget(makeSecondaryText(
            u"Режим «Исправлять ошибки» восстанавливает вероятные неверно распознанные слова по смыслу, исправляет "
            "грамматику и пунктуацию. «Структурировать» дополнительно делит текст на абзацы и списки."_s,
            12, page));
        stack->addWidget(makeSecondaryText(
            u"Личный API-ключ не требуется. После второго нажатия Fn запись передаётся на защищённый сервер Ворсика и "
            "удаляется после обработки. Приложение не сохраняет аудио на диск."_s,
            12, page));
    } else {
        // Without the backend no language model edits the text: the clean-up is by rules.
        stack->addWidget(makeSecondaryText(
            u"Режим «Исправлять ошибки» убирает слова-паразиты и повторы, ставит заглавные буквы и пробелы. "
            "«Структурировать» вдобавок начинает новый абзац там, где вы надолго замолчали."_s,
            12, page));
        stack->addWidget(makeSecondaryText(
            u"Распознавание идёт на этом компьютере: запись не покидает его, не сохраняется на диск и удаляется "
            "из памяти сразу после распознавания. Интернет нужен, чтобы скачать модель, и для редактирования "
            "в OpenAI, если вы его включите."_s,
            12, page));

        m_recognitionPlace = new RecognitionPlaceView(page);
        m_recognitionPlace->setObjectName(u"recognitionPlace"_s);
        m_recognitionPlace->setModelLister(m_serverModelLister);
        stack->addSpacing(6);
        stack->addWidget(m_recognitionPlace);

        m_modelsTitle = new QLabel(u"Распознавание на этом компьютере"_s, page);
        m_modelsTitle->setObjectName(u"modelsTitle"_s);
        m_modelsTitle->setFont(systemFont(17, QFont::Bold));
        stack->addSpacing(6);
        stack->addWidget(m_modelsTitle);
        stack->addWidget(
            makeSecondaryText(u"Модель — файл, по которому Ворсик узнаёт речь; скачивается один раз. "
                              "Русскую речь лучше всех распознаёт GigaAM, 25 европейских языков — "
                              "Parakeet, почти любой язык — whisper (чем больше, тем точнее и медленнее)."_s,
                12, page));
        auto *languageRow = new QHBoxLayout;
        languageRow->setSpacing(16);
        auto *languageLabel = new QLabel(u"Язык речи"_s, page);
        m_languagePopup = new QComboBox(page);
        m_languagePopup->setObjectName(u"languagePopup"_s);
        languageLabel->setBuddy(m_languagePopup);
        // The stored code is the item's data; a code typed by hand gets an item of its own.
        m_languagePopup->addItem(u"Русский"_s, u"ru"_s);
        m_languagePopup->addItem(u"Українська"_s, u"uk"_s);
        m_languagePopup->addItem(u"English"_s, u"en"_s);
        m_languagePopup->addItem(u"Определять по речи"_s, u"auto"_s);
        languageRow->addWidget(languageLabel);
        languageRow->addWidget(m_languagePopup);
        languageRow->addStretch(1);
        stack->addLayout(languageRow);
        m_modelList = new ModelListView(*m_localModels, page);
        m_modelList->setObjectName(u"modelList"_s);
        stack->addWidget(m_modelList);
        // The recommendation follows the language chosen, before it is saved.
        connect(m_languagePopup, &QComboBox::currentIndexChanged, m_modelList,
            [this] { m_modelList->setLanguage(m_languagePopup->currentData().toString()); });

        m_spokenPunctuation = new QCheckBox(
            u"Знаки препинания голосом: «запятая», «точка», «вопросительный знак», «новая строка»…"_s, page);
        m_spokenPunctuation->setObjectName(u"spokenPunctuation"_s);
        stack->addWidget(m_spokenPunctuation);
        m_editWithOpenAI
            = new QCheckBox(u"Редактировать текст с помощью OpenAI (отправляется текст, не запись)"_s, page);
        m_editWithOpenAI->setObjectName(u"editWithOpenAI"_s);
        stack->addWidget(m_editWithOpenAI);
        stack->addWidget(makeSecondaryText(u"Нужен ключ OpenAI в связке ключей. Без этой отметки текст правится "
                                           "на этом компьютере и никуда не отправляется."_s,
            12, page));
    }
    if (m_offersRemoteDesktopPaste) {
        m_remoteDesktopPaste = new QCheckBox(u"Вставлять нажатием клавиш (GNOME): Ворсик нажимает Ctrl+V через "
                                             "удалённый рабочий стол; рабочий стол один раз спросит разрешение"_s,
            page);
        m_remoteDesktopPaste->setObjectName(u"remoteDesktopPaste"_s);
        stack->addWidget(m_remoteDesktopPaste);
    }
    stack->addStretch(1);

    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(10);
    if (m_localModels)
        buttons->setContentsMargins(30, 0, 30, 0);
    auto *accessibilityButton = new QPushButton(u"Разрешить вставку текста…"_s, m_window.get());
    accessibilityButton->setObjectName(u"accessibilityButton"_s);
    auto *cancelButton = new QPushButton(u"Отмена"_s, m_window.get());
    cancelButton->setObjectName(u"cancelButton"_s);
    auto *saveButton = new QPushButton(u"Сохранить"_s, m_window.get());
    saveButton->setObjectName(u"saveButton"_s);
    saveButton->setDefault(true);
    buttons->addWidget(accessibilityButton);
    buttons->addStretch(1);
    buttons->addWidget(cancelButton);
    buttons->addWidget(saveButton);
    windowStack->addLayout(buttons);

    connect(accessibilityButton, &QPushButton::clicked, this, &SettingsWindowController::requestAccessibility);
    connect(cancelButton, &QPushButton::clicked, this, &SettingsWindowController::cancel);
    connect(saveButton, &QPushButton::clicked, this, &SettingsWindowController::save);
}

void SettingsWindowController::showModels()
{
    show();
    if (!m_scrollArea)
        return;
    // The page is laid out now, so the section's place is final.
    m_scrollArea->widget()->layout()->activate();
    m_scrollArea->verticalScrollBar()->setValue(m_modelsTitle->y() - 12);
    m_modelList->setFocus(Qt::OtherFocusReason);
}

void SettingsWindowController::loadValues()
{
    // Anything but an exact stored raw value reads as the recommended mode.
    m_modePopup->setCurrentIndex(m_modePopup->findData(int(AppSettings::smartMode())));
    m_vocabularyField->setText(AppSettings::customVocabularyText());
    m_promptField->setText(AppSettings::transcriptionPrompt());
    // Long texts should show their beginning, not where the cursor ended up.
    m_vocabularyField->setCursorPosition(0);
    m_promptField->setCursorPosition(0);
    if (m_shortcutEdit) {
        const auto keys = m_toggleShortcut->current();
        m_shortcutEdit->setKeySequence(keys ? QKeySequence(*keys) : QKeySequence());
        m_shortcutError->hide();
    }
    if (m_remoteDesktopPaste)
        m_remoteDesktopPaste->setChecked(AppSettings::boolValue(AppSettings::Keys::remoteDesktopPaste));
    if (m_modelList) {
        m_modelList->setChoice(AppSettings::localModel());
        const QString language = AppSettings::localLanguage();
        if (m_languagePopup->findData(language) < 0)
            m_languagePopup->addItem(language, language);
        m_languagePopup->setCurrentIndex(m_languagePopup->findData(language));
        m_modelList->setLanguage(language);
        m_modelList->offerBetterModel(AppSettings::localModel());
        m_spokenPunctuation->setChecked(AppSettings::localSpokenPunctuation());
        m_editWithOpenAI->setChecked(AppSettings::boolValue(AppSettings::Keys::localEditWithOpenAI));
        m_recognitionPlace->load();
    }
    showVocabularyLeftOut();
}

void SettingsWindowController::showVocabularyLeftOut()
{
    // Measured by the model at the last dictation; words the user has since removed are no news.
    const QStringList vocabulary = AppSettings::customVocabulary();
    QStringList leftOut;
    for (const QString &word :
        AppSettings::string(AppSettings::Keys::localVocabularyLeftOut).value_or(QString()).split(u", "_s)) {
        if (!word.isEmpty() && vocabulary.contains(word))
            leftOut.append(word);
    }
    m_vocabularyLeftOut->setText(u"Модель распознавания не читает столько имён и терминов сразу; не вошли: %1. "
                                 "Уберите лишние или поставьте важные в начало."_s.arg(leftOut.join(u", "_s)));
    m_vocabularyLeftOut->setVisible(!leftOut.isEmpty());
}

void SettingsWindowController::save()
{
    if (!m_window)
        return;
    // GNOME's shortcut first: keys it refuses keep the window open with the reason, nothing saved.
    if (m_shortcutEdit && !m_shortcutEdit->keySequence().isEmpty()
        && QKeySequence(m_toggleShortcut->current().value_or(QKeyCombination())) != m_shortcutEdit->keySequence()) {
        const ToggleShortcut::Result result = m_toggleShortcut->assign(m_shortcutEdit->keySequence()[0]);
        m_shortcutError->setText(result.error);
        m_shortcutError->setVisible(!result.ok());
        if (!result.ok())
            return;
    }
    AppSettings::setString(AppSettings::Keys::aiProvider, rawValue(AIProvider::vorsik));
    AppSettings::setSmartMode(SmartMode(m_modePopup->currentData().toInt()));
    AppSettings::setString(AppSettings::Keys::customVocabulary, m_vocabularyField->text());
    AppSettings::setString(AppSettings::Keys::transcriptionPrompt, m_promptField->text());
    const bool remoteDesktopPaste = m_remoteDesktopPaste && m_remoteDesktopPaste->isChecked();
    if (m_remoteDesktopPaste && remoteDesktopPaste != AppSettings::boolValue(AppSettings::Keys::remoteDesktopPaste)) {
        AppSettings::setBool(AppSettings::Keys::remoteDesktopPaste, remoteDesktopPaste);
        Q_EMIT remoteDesktopPasteChanged(remoteDesktopPaste);
    }
    if (m_modelList) {
        AppSettings::setString(AppSettings::Keys::localModel, m_modelList->choice());
        AppSettings::setString(AppSettings::Keys::localLanguage, m_languagePopup->currentData().toString());
        AppSettings::setBool(AppSettings::Keys::localSpokenPunctuation, m_spokenPunctuation->isChecked());
        AppSettings::setBool(AppSettings::Keys::localEditWithOpenAI, m_editWithOpenAI->isChecked());
        m_recognitionPlace->save();
    }
    m_window->close();
}

void SettingsWindowController::cancel()
{
    if (m_window)
        m_window->close();
}

void SettingsWindowController::requestAccessibility() { m_accessibility->enableBus(); }
