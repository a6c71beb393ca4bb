#pragma once

#include "core/abstractaccessibilitypermission.h"
#include "core/abstractonboardingwindow.h"
#include "services/models/modelcatalog.h"
#include "ui/accessibilitypermissionwatcher.h"
#include "ui/mascotframes.h"
#include "ui/onboardingsteps.h"
#include "ui/recognitionplaceview.h"

#include <QObject>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class ClampedLabel;
class ControllerWindow;
class FnKeyboardHintView;
class MascotView;
class ModelDownloader;
class OnboardingModelPage;
class QKeySequenceEdit;
class QLabel;
class QPushButton;
class QVBoxLayout;
class ToggleShortcut;

// The first-start walkthrough: welcome, a page about the microphone (nothing to grant on Linux),
// accessibility, in a build without the own backend (`localModels` given) a recognition model on
// this computer, and a test dictation that has to succeed before the setup counts as finished.
// The window follows the step table (onboardingsteps.h); the model step and the wait for the
// accessibility permission have files of their own.
class OnboardingWindowController : public QObject, public AbstractOnboardingWindow {
    Q_OBJECT
public:
    // `openAccessibilitySettings` opens the desktop's accessibility settings where it can.
    OnboardingWindowController(AbstractAccessibilityPermission *accessibility, ModelDownloader *localModels,
        std::function<bool()> openAccessibilitySettings, QString mascotDirectory = MascotFrames::defaultDirectory(),
        QObject *parent = nullptr);
    explicit OnboardingWindowController(AbstractAccessibilityPermission *accessibility,
        ModelDownloader *localModels = nullptr, QObject *parent = nullptr);
    ~OnboardingWindowController() override;

    OnboardingStep currentStep() const { return m_currentStep; }
    bool awaitsTestDictation() const override { return m_currentStep == OnboardingStep::ready; }
    void show() override;
    void showTestConnecting() override;
    void showTestListening() override;
    void showTestProcessing() override;
    void showTestError(const QString &message) override;
    void showTestResult(const QString &text) override;
    void setOnFinish(std::function<void()> onFinish) override { m_onFinish = std::move(onFinish); }
    void setTrigger(DictationTrigger trigger) override;
    // Where the desktop can run `verbulo --toggle` on a key combination, a step offers to assign one.
    void setToggleShortcut(ToggleShortcut *shortcut) { m_toggleShortcut = shortcut; }
    // Lets the model step offer a recognition server the user runs, checked through `lister`.
    void setServerModelLister(RecognitionPlaceView::ModelLister lister);
    // The computer the model step recommends for: this one unless told.
    void setMachineFacts(const ModelCatalog::MachineFacts &facts);

    void primaryAction();
    void secondaryAction();

    // The window, built on the first show(); null before.
    QWidget *window() const;
    bool isPollingAccessibility() const { return m_permission.isWatching(); }
    bool isAnimatingMascot() const;

private:
    void buildWindow();
    void buildButtons(QVBoxLayout *stack);
    void showStep(OnboardingStep step);
    void showPermissionTexts(PermissionStage stage);
    void setMascotAnimation(MascotState state, std::chrono::milliseconds interval);
    void requestAccessibility();
    void windowWillClose();
    bool acceptsTestFeedback() const;
    // A stage of the test dictation; `field` replaces the table's text of the test field.
    void showTestStage(TestStage stage, const std::optional<QString> &field = std::nullopt);
    void showTestTexts(const OnboardingTestPage &texts, const QString &field);
    // The steps this build and desktop show, in order.
    QList<OnboardingStep> steps() const;
    QString readyDetail() const;
    void assignToggleShortcut();
    bool hasUsableModel() const;

    OnboardingBuild m_build;
    AccessibilityPermissionWatcher m_permission;
    std::unique_ptr<OnboardingModelPage> m_modelPage;
    QString m_mascotDirectory;

    std::unique_ptr<ControllerWindow> m_window;
    MascotView *m_mascotView = nullptr;
    QLabel *m_progressLabel = nullptr;
    ClampedLabel *m_titleLabel = nullptr;
    QLabel *m_bodyLabel = nullptr;
    QLabel *m_detailLabel = nullptr;
    FnKeyboardHintView *m_fnKeyboardHint = nullptr;
    ClampedLabel *m_testResultField = nullptr;
    QPushButton *m_primaryButton = nullptr;
    QPushButton *m_secondaryButton = nullptr;
    ToggleShortcut *m_toggleShortcut = nullptr;
    QKeySequenceEdit *m_shortcutEdit = nullptr;

    OnboardingStep m_currentStep = OnboardingStep::welcome;
    DictationTrigger m_trigger = DictationTrigger::fnKey;
    bool m_testSucceeded = false;
    QString m_testResult;
    bool m_finished = false;
    std::function<void()> m_onFinish;
};
