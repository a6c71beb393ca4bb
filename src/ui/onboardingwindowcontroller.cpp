#include "onboardingwindowcontroller.h"
#include "uifont.h"

#include "appsettings.h"
#include "clampedlabel.h"
#include "controllerwindow.h"
#include "desktopsettings.h"
#include "fnkeyboardhintview.h"
#include "mascotview.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
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
QString triggerDetail(DictationTrigger trigger)
{
    switch (trigger) {
    case DictationTrigger::desktopShortcut:
        return u"Вместо Fn подойдёт сочетание «Диктовка» — его назначают в настройках клавиатуры рабочего стола."_s;
    case DictationTrigger::toggleCommand:
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
    std::function<bool()> openAccessibilitySettings, QString mascotDirectory, QObject *parent)
    : QObject(parent)
    , m_accessibility(accessibility)
    , m_openAccessibilitySettings(std::move(openAccessibilitySettings))
    , m_mascotDirectory(std::move(mascotDirectory))
{
    m_permissionTimer.setInterval(1s);
    connect(&m_permissionTimer, &QTimer::timeout, this, &OnboardingWindowController::checkAccessibilityPermission);
}

OnboardingWindowController::OnboardingWindowController(AbstractAccessibilityPermission *accessibility, QObject *parent)
    : OnboardingWindowController(
        accessibility, &DesktopSettings::openAccessibilitySettings, MascotFrames::defaultDirectory(), parent)
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
    } else if (m_currentStep == OnboardingStep::accessibility && m_accessibility->isTrusted()) {
        showStep(OnboardingStep::ready);
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
    m_primaryButton->setEnabled(true);
    m_detailLabel->setAlignment(Qt::AlignHCenter | Qt::AlignTop);

    switch (step) {
    case OnboardingStep::welcome:
        setMascotAnimation(MascotState::happy, 700ms);
        m_progressLabel->setText(u"Добро пожаловать"_s);
        m_titleLabel->setText(u"Познакомимся?"_s);
        m_bodyLabel->setText(u"Ворсик будет слушать вашу речь, аккуратно приводить текст в порядок и вставлять его "
                             "туда, где стоит курсор."_s);
        m_detailLabel->setText(
            u"Для работы понадобятся два разрешения системы. Мы запросим их по очереди и объясним каждое."_s);
        m_secondaryButton->hide();
        m_primaryButton->setText(u"Начать настройку"_s);
        break;
    case OnboardingStep::microphone:
        setMascotAnimation(MascotState::writing, 550ms);
        m_progressLabel->setText(u"Шаг 1 из 2"_s);
        m_titleLabel->setText(u"Разрешите микрофон"_s);
        m_bodyLabel->setText(u"Микрофон нужен только для записи вашей диктовки после нажатия Fn."_s);
        m_detailLabel->setText(u"Ворсик не слушает вас в фоне и не сохраняет аудио на компьютере. Сразу после "
                               "обработки запись удаляется."_s);
        // Linux asks no one for the microphone: access is already authorised.
        m_primaryButton->setText(u"Продолжить"_s);
        break;
    case OnboardingStep::accessibility:
        setMascotAnimation(MascotState::thinking, 650ms);
        m_progressLabel->setText(u"Шаг 2 из 2"_s);
        m_titleLabel->setText(u"Разрешите вставку текста"_s);
        m_bodyLabel->setText(u"Универсальный доступ нужен, чтобы Ворсик мог вставить готовый текст в поле, где "
                             "стоял курсор."_s);
        m_detailLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        if (m_accessibility->isTrusted()) {
            m_detailLabel->setText(u"Разрешение уже включено. Можно продолжать."_s);
            m_primaryButton->setText(u"Продолжить"_s);
        } else {
            m_detailLabel->setText(accessibilityStepsBeforeRequest);
            m_primaryButton->setText(u"Настроить вставку текста"_s);
            startAccessibilityCheck();
        }
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
            m_detailLabel->setText(triggerDetail(m_trigger));
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
        m_detailLabel->setText(triggerDetail(trigger));
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
    case OnboardingStep::ready:
        showStep(OnboardingStep::accessibility);
        break;
    }
}

void OnboardingWindowController::handleAccessibilityPermission()
{
    if (m_accessibility->isTrusted()) {
        showStep(OnboardingStep::ready);
        return;
    }
    // The first press asks the system to switch accessibility on; when that did not
    // help, a further press opens the desktop's own settings page, where there is one.
    if (m_trustRequested)
        m_openAccessibilitySettings();
    m_accessibility->requestTrust();
    m_trustRequested = true;
    m_detailLabel->setText(accessibilityStepsAfterRequest);
    m_primaryButton->setText(u"Проверить разрешение"_s);
    startAccessibilityCheck();
}

void OnboardingWindowController::startAccessibilityCheck() { m_permissionTimer.start(); }

void OnboardingWindowController::checkAccessibilityPermission()
{
    if (!m_accessibility->isTrusted())
        return;
    m_permissionTimer.stop();
    showStep(OnboardingStep::ready);
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
        u"Проверьте микрофон и подключение, затем повторите пробную диктовку."_s,
        u"Не получилось: "_s + message + u"\nНажмите Fn и попробуйте ещё раз."_s);
    m_testSucceeded = false;
    m_testResult.clear();
    m_detailLabel->setText(u"Настройка пока не завершена. Проверим ещё раз."_s);
    m_primaryButton->setText(u"Готово"_s);
    m_primaryButton->setEnabled(false);
}
