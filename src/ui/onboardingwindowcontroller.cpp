#include "ui/onboardingwindowcontroller.h"

#include "core/appsettings.h"
#include "platform/gnome/toggleshortcut.h"
#include "ui/clampedlabel.h"
#include "ui/controllerwindow.h"
#include "ui/desktopsettings.h"
#include "ui/fnkeyboardhintview.h"
#include "ui/mascotview.h"
#include "ui/onboardingmodelpage.h"
#include "ui/onboardingstyle.h"
#include "ui/uifont.h"

#include <QHBoxLayout>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

OnboardingWindowController::OnboardingWindowController(AbstractAccessibilityPermission *accessibility,
    ModelDownloader *localModels, std::function<bool()> openAccessibilitySettings, QString mascotDirectory,
    QObject *parent)
    : QObject(parent)
    , m_build(localModels ? OnboardingBuild::localModels : OnboardingBuild::ownBackend)
    , m_permission(accessibility, std::move(openAccessibilitySettings))
    , m_modelPage(localModels ? std::make_unique<OnboardingModelPage>(localModels) : nullptr)
    , m_mascotDirectory(std::move(mascotDirectory))
{
    connect(&m_permission, &AccessibilityPermissionWatcher::granted, this,
        [this] { showStep(OnboardingSteps::after(OnboardingStep::accessibility, steps())); });
}

OnboardingWindowController::OnboardingWindowController(
    AbstractAccessibilityPermission *accessibility, ModelDownloader *localModels, QObject *parent)
    : OnboardingWindowController(accessibility, localModels, &DesktopSettings::openAccessibilitySettings,
        MascotFrames::defaultDirectory(), parent)
{
}

OnboardingWindowController::~OnboardingWindowController() = default;

void OnboardingWindowController::setServerModelLister(RecognitionPlaceView::ModelLister lister)
{
    if (m_modelPage)
        m_modelPage->setServerModelLister(std::move(lister));
}

void OnboardingWindowController::setMachineFacts(const ModelCatalog::MachineFacts &facts)
{
    if (m_modelPage)
        m_modelPage->setMachineFacts(facts);
}

QWidget *OnboardingWindowController::window() const { return m_window.get(); }

bool OnboardingWindowController::isAnimatingMascot() const { return m_mascotView && m_mascotView->isAnimating(); }

void OnboardingWindowController::show()
{
    if (!m_window) {
        buildWindow();
        showStep(OnboardingStep::welcome);
    } else if (m_currentStep == OnboardingStep::accessibility && m_permission.isGranted()) {
        showStep(OnboardingSteps::after(OnboardingStep::accessibility, steps()));
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
    const QColor secondary = OnboardingStyle::secondaryText(m_window->palette());

    auto *stack = new QVBoxLayout(m_window.get());
    stack->setContentsMargins(45, 24, 45, 24);
    stack->setSpacing(14);
    // Short pages sit in the middle of the window rather than under its top edge.
    stack->addStretch(1);

    m_mascotView = new MascotView(24, m_window.get());
    m_mascotView->setFixedSize(140, 140);
    stack->addWidget(m_mascotView, 0, Qt::AlignHCenter);

    m_progressLabel = OnboardingStyle::makeLabel(u"progressLabel"_s, systemFont(13, QFont::Medium), m_window.get());
    OnboardingStyle::setTextColour(m_progressLabel, secondary);
    stack->addWidget(m_progressLabel);

    m_titleLabel = new ClampedLabel(2, m_window.get());
    m_titleLabel->setObjectName(u"titleLabel"_s);
    m_titleLabel->setFont(systemFont(28, QFont::Bold));
    m_titleLabel->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    stack->addWidget(m_titleLabel);

    m_bodyLabel = OnboardingStyle::makeLabel(u"bodyLabel"_s, systemFont(17), m_window.get());
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
            OnboardingStyle::setTextColour(m_detailLabel, OnboardingStyle::secondaryText(m_window->palette()));
            m_detailLabel->setText(OnboardingSteps::shortcutHint);
        }
    });

    m_fnKeyboardHint = new FnKeyboardHintView(m_window.get());
    m_fnKeyboardHint->hide();
    stack->addWidget(m_fnKeyboardHint, 0, Qt::AlignHCenter);

    m_detailLabel = OnboardingStyle::makeLabel(u"detailLabel"_s, systemFont(14), m_window.get());
    OnboardingStyle::setTextColour(m_detailLabel, secondary);
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

    if (m_modelPage)
        m_modelPage->build(m_window.get(), stack);

    buildButtons(stack);
    if (m_modelPage) {
        m_modelPage->setPlaces({ m_titleLabel, m_bodyLabel, m_detailLabel, m_primaryButton, m_secondaryButton });
        m_modelPage->setOnServerChosen([this] {
            if (m_currentStep == OnboardingStep::model)
                showStep(OnboardingSteps::after(OnboardingStep::model, steps()));
        });
    }
    stack->addStretch(1);
}

void OnboardingWindowController::buildButtons(QVBoxLayout *stack)
{
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
}

void OnboardingWindowController::showStep(OnboardingStep step)
{
    m_currentStep = step;
    m_permission.stop();
    m_mascotView->stop();
    m_fnKeyboardHint->hide();
    m_testResultField->hide();
    m_shortcutEdit->hide();
    if (m_modelPage)
        m_modelPage->hide();
    OnboardingStyle::setTextColour(m_detailLabel, OnboardingStyle::secondaryText(m_window->palette()));
    m_primaryButton->setEnabled(true);

    const OnboardingPage &page = OnboardingSteps::page(step);
    setMascotAnimation(page.mascot, page.frameInterval);
    m_progressLabel->setText(page.progress.isEmpty() ? OnboardingSteps::counter(step, steps()) : page.progress);
    m_titleLabel->setText(page.title.in(m_build));
    m_bodyLabel->setText(page.body.in(m_build));
    m_detailLabel->setText(page.detail.in(m_build));
    m_detailLabel->setAlignment(page.detailAlignment);
    m_primaryButton->setText(page.primary);
    m_secondaryButton->setText(page.secondary);
    m_secondaryButton->setVisible(!page.secondary.isEmpty());

    switch (step) {
    case OnboardingStep::welcome:
    case OnboardingStep::microphoneNotice:
        break;
    case OnboardingStep::accessibility:
        if (m_permission.isGranted()) {
            showPermissionTexts(PermissionStage::granted);
        } else {
            showPermissionTexts(PermissionStage::notRequested);
            m_permission.watch();
        }
        break;
    case OnboardingStep::model:
        m_modelPage->show();
        break;
    case OnboardingStep::shortcut:
        m_shortcutEdit->show();
        m_shortcutEdit->setKeySequence(m_toggleShortcut->current().value_or(m_toggleShortcut->suggestion()));
        break;
    case OnboardingStep::ready:
        m_fnKeyboardHint->show();
        m_testResultField->show();
        if (m_testSucceeded) {
            showTestTexts(OnboardingSteps::test(TestStage::succeeded), m_testResult);
        } else {
            const OnboardingTestPage &waiting = OnboardingSteps::test(TestStage::waiting);
            showTestTexts(waiting, waiting.field.in(m_build));
            m_detailLabel->setText(readyDetail());
            m_primaryButton->setEnabled(false);
        }
        break;
    }
}

void OnboardingWindowController::showPermissionTexts(PermissionStage stage)
{
    const OnboardingSteps::PermissionTexts &texts = OnboardingSteps::permission(stage);
    m_detailLabel->setText(texts.detail);
    m_primaryButton->setText(texts.primary);
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
        showStep(OnboardingStep::microphoneNotice);
        break;
    case OnboardingStep::microphoneNotice:
        showStep(OnboardingStep::accessibility);
        break;
    case OnboardingStep::accessibility:
        requestAccessibility();
        break;
    case OnboardingStep::model:
        if (m_modelPage->chooseOrDownload())
            showStep(OnboardingSteps::after(OnboardingStep::model, steps()));
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
    case OnboardingStep::microphoneNotice:
        showStep(OnboardingStep::welcome);
        break;
    case OnboardingStep::accessibility:
        showStep(OnboardingStep::microphoneNotice);
        break;
    case OnboardingStep::model:
        // While the chosen model downloads, this button cancels it; on the server form it returns to the models.
        if (!m_modelPage->stepBackWithin())
            showStep(OnboardingSteps::before(OnboardingStep::model, steps()));
        break;
    case OnboardingStep::shortcut:
        // Skips the shortcut: the one offered is not written.
        showStep(OnboardingSteps::after(OnboardingStep::shortcut, steps()));
        break;
    case OnboardingStep::ready:
        showStep(OnboardingSteps::before(OnboardingStep::ready, steps()));
        break;
    }
}

void OnboardingWindowController::requestAccessibility()
{
    if (m_permission.isGranted()) {
        showStep(OnboardingSteps::after(OnboardingStep::accessibility, steps()));
        return;
    }
    m_permission.request();
    showPermissionTexts(PermissionStage::requested);
}

void OnboardingWindowController::windowWillClose()
{
    m_permission.stop();
    if (m_mascotView)
        m_mascotView->stop();
}

bool OnboardingWindowController::acceptsTestFeedback() const
{
    return m_window && m_currentStep == OnboardingStep::ready && !AppSettings::onboardingCompleted();
}

void OnboardingWindowController::showTestStage(TestStage stage, const std::optional<QString> &field)
{
    const OnboardingTestPage &texts = OnboardingSteps::test(stage);
    setMascotAnimation(texts.mascot, texts.frameInterval);
    m_progressLabel->setText(texts.progress);
    showTestTexts(texts, field.value_or(texts.field.in(m_build)));
}

void OnboardingWindowController::showTestTexts(const OnboardingTestPage &texts, const QString &field)
{
    m_titleLabel->setText(texts.title.in(m_build));
    m_bodyLabel->setText(texts.body.in(m_build));
    m_testResultField->setText(field);
    if (!texts.detail.isEmpty())
        m_detailLabel->setText(texts.detail);
    if (!texts.primary.isEmpty())
        m_primaryButton->setText(texts.primary);
}

void OnboardingWindowController::showTestConnecting()
{
    if (acceptsTestFeedback())
        showTestStage(TestStage::connecting);
}

void OnboardingWindowController::showTestListening()
{
    if (acceptsTestFeedback())
        showTestStage(TestStage::listening);
}

void OnboardingWindowController::showTestProcessing()
{
    if (acceptsTestFeedback())
        showTestStage(TestStage::processing);
}

void OnboardingWindowController::showTestResult(const QString &text)
{
    if (!acceptsTestFeedback())
        return;
    showTestStage(TestStage::succeeded, text);
    m_testSucceeded = true;
    m_testResult = text;
    m_primaryButton->setEnabled(true);
}

void OnboardingWindowController::showTestError(const QString &message)
{
    if (!acceptsTestFeedback())
        return;
    showTestStage(TestStage::failed, OnboardingSteps::testFailure(message));
    m_testSucceeded = false;
    m_testResult.clear();
    m_primaryButton->setEnabled(false);
}

QList<OnboardingStep> OnboardingWindowController::steps() const
{
    QList<OnboardingStep> shown { OnboardingStep::welcome, OnboardingStep::microphoneNotice,
        OnboardingStep::accessibility };
    if (m_modelPage)
        shown.append(OnboardingStep::model);
    // Where the desktop's shortcut portal took the trigger, the user has a shortcut already.
    if (m_toggleShortcut && m_toggleShortcut->isAvailable() && m_trigger != DictationTrigger::desktopShortcut)
        shown.append(OnboardingStep::shortcut);
    shown.append(OnboardingStep::ready);
    return shown;
}

QString OnboardingWindowController::readyDetail() const
{
    const auto keys = m_toggleShortcut && m_toggleShortcut->isAvailable() ? m_toggleShortcut->current() : std::nullopt;
    return OnboardingSteps::readyDetail(
        m_trigger, keys ? QKeySequence(*keys).toString(QKeySequence::NativeText) : QString());
}

void OnboardingWindowController::assignToggleShortcut()
{
    const QKeySequence keys = m_shortcutEdit->keySequence();
    const ToggleShortcut::Result result = keys.isEmpty() ? ToggleShortcut::Result { OnboardingSteps::shortcutMissing }
                                                         : m_toggleShortcut->assign(keys[0]);
    if (result.ok()) {
        showStep(OnboardingSteps::after(OnboardingStep::shortcut, steps()));
        return;
    }
    OnboardingStyle::setTextColour(m_detailLabel, OnboardingStyle::errorText());
    m_detailLabel->setText(result.error);
}

bool OnboardingWindowController::hasUsableModel() const { return !m_modelPage || m_modelPage->hasUsableModel(); }
