#include "onboardingwindowcontroller.h"
#include "uifont.h"

#include "appsettings.h"
#include "clampedlabel.h"
#include "controllerwindow.h"
#include "desktopsettings.h"
#include "fnkeyboardhintview.h"
#include "mascotview.h"
#include "modellistview.h"
#include "toggleshortcut.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

QColor secondaryColour(const QPalette &palette)
{
    QColor colour = palette.color(QPalette::WindowText);
    colour.setAlphaF(0.62f);
    return colour;
}

void setTextColour(QWidget *widget, const QColor &colour)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    widget->setPalette(palette);
}

QLabel *makeLabel(const QString &name, const QFont &font, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setObjectName(name);
    label->setFont(font);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    return label;
}

// Under the ready page's title: how this desktop starts a dictation, where it is not the Fn key.
// `toggleKeys`: the combination assigned to `verbulo --toggle` in the walkthrough, if any.
QString triggerDetail(DictationTrigger trigger, const QString &toggleKeys)
{
    switch (trigger) {
    case DictationTrigger::desktopShortcut:
        return u"Вместо Fn подойдёт сочетание «Диктовка» — его назначают в настройках клавиатуры рабочего стола."_s;
    case DictationTrigger::toggleCommand:
        if (!toggleKeys.isEmpty())
            return u"Клавиша Fn недоступна: нажимайте вместо неё %1."_s.arg(toggleKeys);
        return u"Клавиша Fn недоступна: назначьте команде «verbulo --toggle» сочетание клавиш в настройках "
               u"рабочего стола и нажимайте его вместо Fn."_s;
    case DictationTrigger::fnKey:
        break;
    }
    return u"Так мы сразу убедимся, что установка действительно завершена."_s;
}

const QString readyTitleBeforeTest = u"Нажмите Fn, чтобы Ворсик попробовал за вами записать"_s;
const QString readyBodyBeforeTest
    = u"Нажмите Fn один раз. Говорите. Когда закончите — нажмите Fn ещё раз. Готовый текст появится прямо здесь."_s;
const QString shortcutHint
    = u"В настройках клавиатуры GNOME оно появится как «Ворсик: диктовка» — там его можно сменить или удалить."_s;

const QString workingTitle = u"Всё работает!"_s;
const QString workingBody
    = u"Ворсик будет жить в системном трее в виде микрофончика. Нажмите на него, чтобы открыть настройки или найти последний текст."_s;
const QString workingDetail = u"Пробная диктовка готова. Всё классно — давайте работать."_s;

const QString accessibilityStepsBeforeRequest
    = u"1. Нажмите кнопку ниже — Ворсик попросит систему включить специальные возможности.\n"
      "2. Если страница не сменится сама, нажмите кнопку ещё раз: Ворсик откроет настройки специальных "
      "возможностей (GNOME, KDE).\n"
      "3. Включите в них специальные возможности (вспомогательные технологии).\n"
      "4. Вернитесь к Ворсику — страница сменится сама.\n"
      "Chromium, Chrome и программы на Electron флагов запуска не требуют: когда их окно выходит вперёд, "
      "Ворсик сам просит их показать поле ввода."_s;
const QString accessibilityStepsAfterRequest
    = u"1. Ворсик попросил систему включить специальные возможности — обычно страница сменяется сама за секунду.\n"
      "2. Если этого не произошло, нажмите «Проверить разрешение»: Ворсик откроет настройки специальных "
      "возможностей (GNOME, KDE).\n"
      "3. Включите в них специальные возможности (вспомогательные технологии).\n"
      "4. Вернитесь к Ворсику — страница сменится сама.\n"
      "Chromium, Chrome и программы на Electron флагов запуска не требуют: когда их окно выходит вперёд, "
      "Ворсик сам просит их показать поле ввода."_s;

} // namespace

OnboardingWindowController::OnboardingWindowController(AbstractAccessibilityPermission *accessibility,
    ModelDownloader *localModels, std::function<bool()> openAccessibilitySettings, QString mascotDirectory,
    QObject *parent)
    : QObject(parent)
    , m_accessibility(accessibility)
    , m_localModels(localModels)
    , m_openAccessibilitySettings(std::move(openAccessibilitySettings))
    , m_mascotDirectory(std::move(mascotDirectory))
{
    m_permissionTimer.setInterval(1s);
    connect(&m_permissionTimer, &QTimer::timeout, this, &OnboardingWindowController::checkAccessibilityPermission);
    if (!m_localModels)
        return;
    connect(m_localModels, &ModelDownloader::progressChanged, this, &OnboardingWindowController::showDownloadProgress);
    const auto pageChanged = [this] {
        if (m_window && m_currentStep == OnboardingStep::model) {
            fillModelPicker();
            updateModelPage();
        }
    };
    connect(m_localModels, &ModelDownloader::finished, this, pageChanged);
    connect(m_localModels, &ModelDownloader::cancelled, this, pageChanged);
    connect(m_localModels, &ModelDownloader::failed, this,
        [this, pageChanged](const QString &name, const QString &message) {
            if (m_modelPicker && m_modelPicker->currentData().toString() == name)
                m_downloadError = message;
            pageChanged();
        });
}

OnboardingWindowController::OnboardingWindowController(
    AbstractAccessibilityPermission *accessibility, ModelDownloader *localModels, QObject *parent)
    : OnboardingWindowController(accessibility, localModels, &DesktopSettings::openAccessibilitySettings,
        MascotFrames::defaultDirectory(), parent)
{
}

OnboardingWindowController::~OnboardingWindowController() = default;

QWidget *OnboardingWindowController::window() const { return m_window.get(); }

bool OnboardingWindowController::isAnimatingMascot() const { return m_mascotView && m_mascotView->isAnimating(); }

void OnboardingWindowController::show()
{
    if (!m_window) {
        buildWindow();
        showStep(OnboardingStep::welcome);
    } else if (m_currentStep == OnboardingStep::accessibility && m_accessibility->isBusEnabled()) {
        showStep(stepAfter(OnboardingStep::accessibility));
    } else if (m_currentStep == OnboardingStep::ready && !hasUsableModel()) {
        // The model went while the window was closed: the test cannot succeed without one.
        showStep(OnboardingStep::model);
    } else {
        showStep(m_currentStep);
    }
    m_window->presentInFront();
}

void OnboardingWindowController::buildWindow()
{
    m_window = std::make_unique<ControllerWindow>();
    m_window->setObjectName(u"onboardingWindow"_s);
    m_window->setWindowTitle(u"Знакомство со Ворсиком"_s);
    m_window->resize(760, 760);
    m_window->onClose = [this] { windowWillClose(); };
    m_window->onReturn = [this] {
        if (m_primaryButton->isEnabled())
            primaryAction();
    };
    const QColor secondary = secondaryColour(m_window->palette());

    auto *stack = new QVBoxLayout(m_window.get());
    stack->setContentsMargins(45, 24, 45, 24);
    stack->setSpacing(14);
    // Short pages sit in the middle of the window rather than under its top edge.
    stack->addStretch(1);

    m_mascotView = new MascotView(24, m_window.get());
    m_mascotView->setFixedSize(140, 140);
    stack->addWidget(m_mascotView, 0, Qt::AlignHCenter);

    m_progressLabel = makeLabel(u"progressLabel"_s, systemFont(13, QFont::Medium), m_window.get());
    setTextColour(m_progressLabel, secondary);
    stack->addWidget(m_progressLabel);

    m_titleLabel = new ClampedLabel(2, m_window.get());
    m_titleLabel->setObjectName(u"titleLabel"_s);
    m_titleLabel->setFont(systemFont(28, QFont::Bold));
    m_titleLabel->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    stack->addWidget(m_titleLabel);

    m_bodyLabel = makeLabel(u"bodyLabel"_s, systemFont(17), m_window.get());
    stack->addWidget(m_bodyLabel);

    m_shortcutEdit = new QKeySequenceEdit(m_window.get());
    m_shortcutEdit->setObjectName(u"shortcutEdit"_s);
    m_shortcutEdit->setFont(systemFont(16));
    m_shortcutEdit->setFixedWidth(300);
    m_shortcutEdit->setMinimumHeight(36);
    m_shortcutEdit->hide();
    stack->addWidget(m_shortcutEdit, 0, Qt::AlignHCenter);
    // A new combination clears the refusal of the previous one.
    connect(m_shortcutEdit, &QKeySequenceEdit::keySequenceChanged, this, [this] {
        if (m_currentStep == OnboardingStep::shortcut) {
            setTextColour(m_detailLabel, secondaryColour(m_window->palette()));
            m_detailLabel->setText(shortcutHint);
        }
    });

    m_fnKeyboardHint = new FnKeyboardHintView(m_window.get());
    m_fnKeyboardHint->hide();
    stack->addWidget(m_fnKeyboardHint, 0, Qt::AlignHCenter);

    m_detailLabel = makeLabel(u"detailLabel"_s, systemFont(14), m_window.get());
    setTextColour(m_detailLabel, secondary);
    stack->addWidget(m_detailLabel);

    m_testResultField = new ClampedLabel(4, m_window.get());
    m_testResultField->setObjectName(u"testResultField"_s);
    m_testResultField->setFont(systemFont(16));
    m_testResultField->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_testResultField->setContentsMargins(12, 8, 12, 8);
    m_testResultField->setFixedHeight(78);
    QColor fieldBorder = m_window->palette().color(QPalette::WindowText);
    fieldBorder.setAlphaF(0.2f);
    m_testResultField->setPlate(m_window->palette().color(QPalette::Base), fieldBorder, 8);
    m_testResultField->hide();
    stack->addWidget(m_testResultField);

    if (m_localModels) {
        m_modelPicker = new QComboBox(m_window.get());
        m_modelPicker->setObjectName(u"modelPicker"_s);
        m_modelPicker->setFont(systemFont(14));
        m_modelPicker->setFixedWidth(440);
        m_modelPicker->setMinimumHeight(32);
        stack->addWidget(m_modelPicker, 0, Qt::AlignHCenter);
        m_downloadBar = new QProgressBar(m_window.get());
        m_downloadBar->setObjectName(u"downloadBar"_s);
        m_downloadBar->setRange(0, 100);
        m_downloadBar->setTextVisible(false);
        m_downloadBar->setFixedSize(440, 8);
        stack->addWidget(m_downloadBar, 0, Qt::AlignHCenter);
        m_downloadText = makeLabel(u"downloadText"_s, systemFont(13), m_window.get());
        stack->addWidget(m_downloadText);
        connect(m_modelPicker, &QComboBox::currentIndexChanged, this, [this] {
            m_downloadError.clear();
            updateModelPage();
        });
    }

    auto *buttonRow = new QWidget(m_window.get());
    buttonRow->setFixedSize(440, 42);
    auto *buttons = new QHBoxLayout(buttonRow);
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->setSpacing(12);
    m_secondaryButton = new QPushButton(u"Назад"_s, buttonRow);
    m_secondaryButton->setObjectName(u"secondaryButton"_s);
    m_primaryButton = new QPushButton(buttonRow);
    m_primaryButton->setObjectName(u"primaryButton"_s);
    for (QPushButton *button : { m_secondaryButton, m_primaryButton }) {
        button->setFont(systemFont(14, QFont::Medium));
        button->setMinimumHeight(40);
        button->setCursor(Qt::PointingHandCursor);
        buttons->addWidget(button, 1);
    }
    m_primaryButton->setStyleSheet(
        u"QPushButton { color: white; background: palette(highlight); border: none; border-radius: 10px; }"
        " QPushButton:hover { background: palette(highlight); border: 2px solid rgba(255,255,255,60); }"
        " QPushButton:disabled { color: rgba(255,255,255,200); background: rgba(120,120,128,110); }"_s);
    m_secondaryButton->setStyleSheet(u"QPushButton { color: palette(button-text); background: palette(button);"
                                     " border: 1px solid rgba(0,0,0,40); border-radius: 10px; }"
                                     " QPushButton:pressed { background: palette(midlight); }"_s);
    connect(m_primaryButton, &QPushButton::clicked, this, &OnboardingWindowController::primaryAction);
    connect(m_secondaryButton, &QPushButton::clicked, this, &OnboardingWindowController::secondaryAction);
    stack->addWidget(buttonRow, 0, Qt::AlignHCenter);
    stack->addStretch(1);
}

void OnboardingWindowController::showStep(OnboardingStep step)
{
    m_currentStep = step;
    m_permissionTimer.stop();
    m_mascotView->stop();
    m_trustRequested = false;
    m_secondaryButton->show();
    m_detailLabel->show();
    m_fnKeyboardHint->hide();
    m_testResultField->hide();
    m_shortcutEdit->hide();
    setTextColour(m_detailLabel, secondaryColour(m_window->palette()));
    m_primaryButton->setEnabled(true);
    m_secondaryButton->setText(u"Назад"_s);
    m_detailLabel->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    for (QWidget *modelWidget : { static_cast<QWidget *>(m_modelPicker), static_cast<QWidget *>(m_downloadBar),
             static_cast<QWidget *>(m_downloadText) })
        if (modelWidget)
            modelWidget->hide();
    const bool local = m_localModels != nullptr;

    switch (step) {
    case OnboardingStep::welcome:
        setMascotAnimation(MascotState::happy, 700ms);
        m_progressLabel->setText(u"Добро пожаловать"_s);
        m_titleLabel->setText(u"Познакомимся?"_s);
        m_bodyLabel->setText(u"Ворсик будет слушать вашу речь, аккуратно приводить текст в порядок и вставлять его "
                             "туда, где стоит курсор."_s);
        m_detailLabel->setText(local
                ? u"Понадобятся два разрешения системы и модель распознавания речи. Настроим всё по очереди."_s
                : u"Для работы понадобятся два разрешения системы. Мы запросим их по очереди и объясним каждое."_s);
        m_secondaryButton->hide();
        m_primaryButton->setText(u"Начать настройку"_s);
        break;
    case OnboardingStep::microphone:
        setMascotAnimation(MascotState::writing, 550ms);
        m_progressLabel->setText(stepLabel(step));
        m_titleLabel->setText(u"Разрешите микрофон"_s);
        m_bodyLabel->setText(u"Микрофон нужен только для записи вашей диктовки после нажатия Fn."_s);
        m_detailLabel->setText(u"Ворсик не слушает вас в фоне и не сохраняет аудио на компьютере. Сразу после "
                               "обработки запись удаляется."_s);
        // Linux asks no one for the microphone: access is already authorised.
        m_primaryButton->setText(u"Продолжить"_s);
        break;
    case OnboardingStep::accessibility:
        setMascotAnimation(MascotState::thinking, 650ms);
        m_progressLabel->setText(stepLabel(step));
        m_titleLabel->setText(u"Разрешите вставку текста"_s);
        m_bodyLabel->setText(local ? u"Специальные возможности нужны, чтобы Ворсик мог вставить готовый текст в поле, "
                                     "где стоял курсор."_s
                                   : u"Универсальный доступ нужен, чтобы Ворсик мог вставить готовый текст в поле, где "
                                     "стоял курсор."_s);
        m_detailLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        if (m_accessibility->isBusEnabled()) {
            m_detailLabel->setText(u"Разрешение уже включено. Можно продолжать."_s);
            m_primaryButton->setText(u"Продолжить"_s);
        } else {
            m_detailLabel->setText(accessibilityStepsBeforeRequest);
            m_primaryButton->setText(u"Настроить вставку текста"_s);
            startAccessibilityCheck();
        }
        break;
    case OnboardingStep::model:
        setMascotAnimation(MascotState::searching, 650ms);
        m_progressLabel->setText(stepLabel(step));
        m_bodyLabel->setText(u"Речь распознаётся прямо на этом компьютере — запись его не покидает. Для этого нужна "
                             "модель: файл, который скачивается один раз."_s);
        m_modelPicker->show();
        fillModelPicker();
        updateModelPage();
        break;
    case OnboardingStep::shortcut:
        setMascotAnimation(MascotState::thinking, 650ms);
        m_progressLabel->setText(stepLabel(step));
        m_titleLabel->setText(u"Сочетание клавиш для диктовки"_s);
        m_bodyLabel->setText(u"GNOME может сам начинать и заканчивать диктовку по сочетанию клавиш. Нажмите в поле "
                             "ниже своё сочетание или оставьте предложенное."_s);
        m_shortcutEdit->show();
        m_shortcutEdit->setKeySequence(m_toggleShortcut->current().value_or(m_toggleShortcut->suggestion()));
        m_detailLabel->setText(shortcutHint);
        m_secondaryButton->setText(u"Пропустить"_s);
        m_primaryButton->setText(u"Назначить сочетание"_s);
        break;
    case OnboardingStep::ready:
        setMascotAnimation(MascotState::happy, 600ms);
        m_progressLabel->setText(u"Настройка завершена"_s);
        m_fnKeyboardHint->show();
        m_testResultField->show();
        if (m_testSucceeded) {
            m_titleLabel->setText(workingTitle);
            m_bodyLabel->setText(workingBody);
            m_detailLabel->setText(workingDetail);
            m_testResultField->setText(m_testResult);
            m_primaryButton->setText(u"Давайте работать"_s);
        } else {
            m_titleLabel->setText(readyTitleBeforeTest);
            m_bodyLabel->setText(readyBodyBeforeTest);
            m_detailLabel->setText(readyDetail());
            m_testResultField->setText(u"Нажмите Fn и скажите что-нибудь…"_s);
            m_primaryButton->setText(u"Готово"_s);
            m_primaryButton->setEnabled(false);
        }
        break;
    }
}

void OnboardingWindowController::setTrigger(DictationTrigger trigger)
{
    m_trigger = trigger;
    if (m_window && m_currentStep == OnboardingStep::ready && !m_testSucceeded)
        m_detailLabel->setText(readyDetail());
}

void OnboardingWindowController::setMascotAnimation(MascotState state, std::chrono::milliseconds interval)
{
    m_mascotView->play(MascotFrames::load(m_mascotDirectory, state), interval);
}

void OnboardingWindowController::primaryAction()
{
    if (!m_window)
        return;
    switch (m_currentStep) {
    case OnboardingStep::welcome:
        showStep(OnboardingStep::microphone);
        break;
    case OnboardingStep::microphone:
        showStep(OnboardingStep::accessibility);
        break;
    case OnboardingStep::accessibility:
        handleAccessibilityPermission();
        break;
    case OnboardingStep::model:
        modelPrimaryAction();
        break;
    case OnboardingStep::shortcut:
        assignToggleShortcut();
        break;
    case OnboardingStep::ready:
        if (!m_testSucceeded || m_finished)
            return;
        m_finished = true;
        AppSettings::setBool(AppSettings::Keys::onboardingCompleted, true);
        m_window->close();
        if (m_onFinish)
            m_onFinish();
        break;
    }
}

void OnboardingWindowController::secondaryAction()
{
    switch (m_currentStep) {
    case OnboardingStep::welcome:
        break;
    case OnboardingStep::microphone:
        showStep(OnboardingStep::welcome);
        break;
    case OnboardingStep::accessibility:
        showStep(OnboardingStep::microphone);
        break;
    case OnboardingStep::model:
        // While the chosen model downloads, this button cancels it.
        if (m_localModels->isDownloading(m_modelPicker->currentData().toString()))
            m_localModels->cancel(m_modelPicker->currentData().toString());
        else
            showStep(stepBefore(OnboardingStep::model));
        break;
    case OnboardingStep::shortcut:
        // Skips the shortcut: the one offered is not written.
        showStep(stepAfter(OnboardingStep::shortcut));
        break;
    case OnboardingStep::ready:
        showStep(stepBefore(OnboardingStep::ready));
        break;
    }
}

void OnboardingWindowController::handleAccessibilityPermission()
{
    if (m_accessibility->isBusEnabled()) {
        showStep(stepAfter(OnboardingStep::accessibility));
        return;
    }
    // The first press asks the system to switch accessibility on; when that did not
    // help, a further press opens the desktop's own settings page, where there is one.
    if (m_trustRequested)
        m_openAccessibilitySettings();
    m_accessibility->enableBus();
    m_trustRequested = true;
    m_detailLabel->setText(accessibilityStepsAfterRequest);
    m_primaryButton->setText(u"Проверить разрешение"_s);
    startAccessibilityCheck();
}

void OnboardingWindowController::startAccessibilityCheck() { m_permissionTimer.start(); }

void OnboardingWindowController::checkAccessibilityPermission()
{
    if (!m_accessibility->isBusEnabled())
        return;
    m_permissionTimer.stop();
    showStep(stepAfter(OnboardingStep::accessibility));
}

void OnboardingWindowController::windowWillClose()
{
    m_permissionTimer.stop();
    if (m_mascotView)
        m_mascotView->stop();
}

bool OnboardingWindowController::acceptsTestFeedback() const
{
    return m_window && m_currentStep == OnboardingStep::ready && !AppSettings::onboardingCompleted();
}

void OnboardingWindowController::setTestTexts(MascotState mascot, std::chrono::milliseconds interval,
    const QString &progress, const QString &title, const QString &body, const QString &field)
{
    setMascotAnimation(mascot, interval);
    m_progressLabel->setText(progress);
    m_titleLabel->setText(title);
    m_bodyLabel->setText(body);
    m_testResultField->setText(field);
}

void OnboardingWindowController::showTestConnecting()
{
    if (!acceptsTestFeedback())
        return;
    setTestTexts(MascotState::searching, 550ms, u"Проверка работы"_s, u"Ворсик ищет ручку…"_s,
        u"Секунду — Ворсик готовится записывать."_s, u"Ворсик ищет ручку…"_s);
}

void OnboardingWindowController::showTestListening()
{
    if (!acceptsTestFeedback())
        return;
    setTestTexts(MascotState::writing, 500ms, u"Проверка работы"_s, u"Говорите. Нажмите Fn ещё раз, когда закончите"_s,
        u"Ворсик слушает и записывает за вами."_s, u"Говорите — нажмите Fn второй раз, когда закончите."_s);
}

void OnboardingWindowController::showTestProcessing()
{
    if (!acceptsTestFeedback())
        return;
    if (m_localModels)
        setTestTexts(MascotState::editing, 550ms, u"Проверка работы"_s, u"Ворсик распознаёт речь"_s,
            u"Распознавание идёт на этом компьютере, обычно несколько секунд."_s, u"Ворсик распознаёт речь…"_s);
    else
        setTestTexts(MascotState::editing, 550ms, u"Проверка работы"_s, u"Ворсик редактирует текст"_s,
            u"Исправляет распознавание, грамматику и пунктуацию."_s, u"Ворсик редактирует текст…"_s);
}

void OnboardingWindowController::showTestResult(const QString &text)
{
    if (!acceptsTestFeedback())
        return;
    setTestTexts(MascotState::happy, 600ms, u"Проверка завершена"_s, workingTitle, workingBody, text);
    m_testSucceeded = true;
    m_testResult = text;
    m_detailLabel->setText(workingDetail);
    m_primaryButton->setText(u"Давайте работать"_s);
    m_primaryButton->setEnabled(true);
}

void OnboardingWindowController::showTestError(const QString &message)
{
    if (!acceptsTestFeedback())
        return;
    setTestTexts(MascotState::confused, 650ms, u"Попробуем ещё раз"_s, u"Не получилось"_s,
        m_localModels ? u"Проверьте микрофон, затем повторите пробную диктовку."_s
                      : u"Проверьте микрофон и подключение, затем повторите пробную диктовку."_s,
        u"Не получилось: "_s + message + u"\nНажмите Fn и попробуйте ещё раз."_s);
    m_testSucceeded = false;
    m_testResult.clear();
    m_detailLabel->setText(u"Настройка пока не завершена. Проверим ещё раз."_s);
    m_primaryButton->setText(u"Готово"_s);
    m_primaryButton->setEnabled(false);
}

QList<OnboardingStep> OnboardingWindowController::steps() const
{
    QList<OnboardingStep> shown { OnboardingStep::welcome, OnboardingStep::microphone, OnboardingStep::accessibility };
    if (m_localModels)
        shown.append(OnboardingStep::model);
    // Where the desktop's shortcut portal took the trigger, the user has a shortcut already.
    if (m_toggleShortcut && m_toggleShortcut->isAvailable() && m_trigger != DictationTrigger::desktopShortcut)
        shown.append(OnboardingStep::shortcut);
    shown.append(OnboardingStep::ready);
    return shown;
}

// By the order of the enumeration, which is the walkthrough's: the page shown may have left the list
// meanwhile (the portal took the trigger while the shortcut page was open).
OnboardingStep OnboardingWindowController::stepAfter(OnboardingStep step) const
{
    const QList<OnboardingStep> shown = steps();
    for (int next = int(step) + 1; next < int(OnboardingStep::ready); ++next)
        if (shown.contains(OnboardingStep(next)))
            return OnboardingStep(next);
    return OnboardingStep::ready;
}

OnboardingStep OnboardingWindowController::stepBefore(OnboardingStep step) const
{
    const QList<OnboardingStep> shown = steps();
    for (int previous = int(step) - 1; previous > int(OnboardingStep::welcome); --previous)
        if (shown.contains(OnboardingStep(previous)))
            return OnboardingStep(previous);
    return OnboardingStep::welcome;
}

QString OnboardingWindowController::stepLabel(OnboardingStep step) const
{
    // Welcome and the test dictation are not counted.
    const QList<OnboardingStep> shown = steps();
    return u"Шаг %1 из %2"_s.arg(shown.indexOf(step)).arg(shown.size() - 2);
}

QString OnboardingWindowController::readyDetail() const
{
    const auto keys = m_toggleShortcut && m_toggleShortcut->isAvailable() ? m_toggleShortcut->current() : std::nullopt;
    return triggerDetail(m_trigger, keys ? QKeySequence(*keys).toString(QKeySequence::NativeText) : QString());
}

void OnboardingWindowController::assignToggleShortcut()
{
    const QKeySequence keys = m_shortcutEdit->keySequence();
    const ToggleShortcut::Result result = keys.isEmpty()
        ? ToggleShortcut::Result { u"Нажмите в поле сочетание клавиш — или пропустите этот шаг."_s }
        : m_toggleShortcut->assign(keys[0]);
    if (result.ok()) {
        showStep(stepAfter(OnboardingStep::shortcut));
        return;
    }
    setTextColour(m_detailLabel, QColor(192, 28, 40));
    m_detailLabel->setText(result.error);
}

bool OnboardingWindowController::hasUsableModel() const
{
    return !m_localModels || m_localModels->store().resolve(AppSettings::localModel()).ok();
}

void OnboardingWindowController::fillModelPicker()
{
    const ModelStore &store = m_localModels->store();
    const auto recommended
        = ModelCatalog::recommend(store.catalog(), ModelCatalog::MachineFacts::current(), AppSettings::localLanguage())
              .name;
    const QString stored = AppSettings::localModel();
    // First time here: what dictation would use now, else a download under way, else the
    // recommendation. Later the user's own pick stays.
    QString chosen = m_modelPicker->currentData().toString();
    if (m_modelPicker->count() == 0) {
        const ModelStore::Resolved inUse = store.resolve(stored);
        if (inUse.ok())
            chosen = QDir::isAbsolutePath(stored) ? stored : inUse.name;
        else if (const auto downloading = m_localModels->currentProgress())
            chosen = downloading->name;
        else
            chosen = recommended;
    }
    const QSignalBlocker refilling(m_modelPicker);
    m_modelPicker->clear();
    for (const ModelCatalogEntry &entry : store.catalog()) {
        QString title = entry.name + u" · "_s + modelSizeText(entry.size);
        if (store.isInstalled(entry.name))
            title += u" · на компьютере"_s;
        if (entry.name == recommended)
            title += u" · рекомендуется"_s;
        m_modelPicker->addItem(title, entry.name);
    }
    if (QDir::isAbsolutePath(stored))
        m_modelPicker->addItem(u"Свой файл: "_s + QFileInfo(stored).fileName(), stored);
    m_modelPicker->setCurrentIndex(qMax(0, m_modelPicker->findData(chosen)));
}

void OnboardingWindowController::updateModelPage()
{
    const ModelStore &store = m_localModels->store();
    const QString chosen = m_modelPicker->currentData().toString();
    const bool ready = store.resolve(chosen).ok();
    const bool downloading = !ready && m_localModels->isDownloading(chosen);
    const auto recommendation
        = ModelCatalog::recommend(store.catalog(), ModelCatalog::MachineFacts::current(), AppSettings::localLanguage());

    m_modelPicker->setEnabled(!downloading);
    m_downloadBar->setVisible(downloading);
    m_downloadText->setVisible(downloading || !m_downloadError.isEmpty());
    setTextColour(m_downloadText, downloading ? secondaryColour(m_window->palette()) : QColor(192, 28, 40));
    m_primaryButton->setEnabled(!downloading);
    m_secondaryButton->setText(downloading ? u"Отменить загрузку"_s : u"Назад"_s);
    if (ready) {
        m_titleLabel->setText(u"Модель распознавания готова"_s);
        m_detailLabel->setText(u"Модель %1 уже на этом компьютере. Можно продолжать — или выбрать другую."_s.arg(
            store.resolve(chosen).name));
        m_primaryButton->setText(u"Продолжить"_s);
    } else if (downloading) {
        m_titleLabel->setText(u"Скачиваю модель распознавания"_s);
        m_detailLabel->setText(u"Можно пока заняться своими делами: окно можно закрыть, загрузка продолжится."_s);
        m_primaryButton->setText(u"Скачивается…"_s);
        if (const auto progress = m_localModels->progress(chosen))
            showDownloadProgress(*progress);
        else
            m_downloadText->setText(u"Подключаюсь…"_s);
    } else {
        m_titleLabel->setText(u"Скачайте модель распознавания"_s);
        const auto entry = store.entry(chosen);
        // What the model picked is for, under why the recommended one suits this computer.
        m_detailLabel->setText(entry ? recommendation.reason + u"\n\n"_s + entry->name + u": "_s + entry->description
                                     : recommendation.reason);
        const qint64 part = store.partialSize(chosen);
        m_primaryButton->setText(
            part > 0 ? u"Продолжить загрузку"_s : u"Скачать · "_s + modelSizeText(entry ? entry->size : 0));
        m_downloadText->setText(u"Не удалось скачать: "_s + m_downloadError);
    }
}

void OnboardingWindowController::showDownloadProgress(const ModelDownloader::Progress &progress)
{
    if (!m_window || m_currentStep != OnboardingStep::model || m_modelPicker->currentData().toString() != progress.name)
        return;
    if (m_downloadBar->isHidden())
        updateModelPage();
    m_downloadBar->setValue(progress.percent());
    m_downloadText->setText(progress.text());
}

void OnboardingWindowController::modelPrimaryAction()
{
    const ModelStore &store = m_localModels->store();
    const QString chosen = m_modelPicker->currentData().toString();
    const ModelStore::Resolved model = store.resolve(chosen);
    if (!model.ok()) {
        if (m_localModels->isDownloading(chosen))
            return;
        m_downloadError.clear();
        m_localModels->start(chosen);
        updateModelPage();
        return;
    }
    // The test dictation uses the model shown; when that is what the setting gives
    // already (typically the best installed one), the setting stays as it was.
    if (store.resolve(AppSettings::localModel()).path != model.path)
        AppSettings::setString(AppSettings::Keys::localModel, chosen);
    showStep(stepAfter(OnboardingStep::model));
}
