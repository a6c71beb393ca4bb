#pragma once

#include "abstractaccessibilitypermission.h"
#include "abstractonboardingwindow.h"
#include "mascotframes.h"
#include "modeldownloader.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>

class ClampedLabel;
class ControllerWindow;
class FnKeyboardHintView;
class MascotView;
class ModelDownloader;
class QComboBox;
class QKeySequenceEdit;
class QLabel;
class QProgressBar;
class QPushButton;
class ToggleShortcut;

// The model step exists only in a build without the own backend, the shortcut step only where the
// desktop runs a shortcut for `verbulo --toggle` (GNOME).
enum class OnboardingStep { welcome, microphone, accessibility, model, shortcut, ready };

// The first-start walkthrough: welcome, microphone, accessibility, in a build without
// the own backend (`localModels` given) a recognition model on this computer, and a
// test dictation that has to succeed before the setup counts as finished.
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

    void primaryAction();
    void secondaryAction();

    // The window, built on the first show(); null before.
    QWidget *window() const;
    bool isPollingAccessibility() const { return m_permissionTimer.isActive(); }
    bool isAnimatingMascot() const;

private:
    void buildWindow();
    void showStep(OnboardingStep step);
    void setMascotAnimation(MascotState state, std::chrono::milliseconds interval);
    void handleAccessibilityPermission();
    void startAccessibilityCheck();
    void checkAccessibilityPermission();
    void windowWillClose();
    bool acceptsTestFeedback() const;
    void setTestTexts(MascotState mascot, std::chrono::milliseconds interval, const QString &progress,
        const QString &title, const QString &body, const QString &field);
    // The steps this build and desktop show, in order, and the neighbours of one of them.
    QList<OnboardingStep> steps() const;
    OnboardingStep stepAfter(OnboardingStep step) const;
    OnboardingStep stepBefore(OnboardingStep step) const;
    QString stepLabel(OnboardingStep step) const;
    QString readyDetail() const;
    void assignToggleShortcut();
    // The model step: the picker's entries, the page for the chosen one, and continuing.
    void fillModelPicker();
    void updateModelPage();
    void modelPrimaryAction();
    bool hasUsableModel() const;
    void showDownloadProgress(const ModelDownloader::Progress &progress);

    AbstractAccessibilityPermission *m_accessibility;
    ModelDownloader *m_localModels;
    std::function<bool()> m_openAccessibilitySettings;
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
    QComboBox *m_modelPicker = nullptr;
    QProgressBar *m_downloadBar = nullptr;
    QLabel *m_downloadText = nullptr;
    QString m_downloadError;
    ToggleShortcut *m_toggleShortcut = nullptr;
    QKeySequenceEdit *m_shortcutEdit = nullptr;

    OnboardingStep m_currentStep = OnboardingStep::welcome;
    DictationTrigger m_trigger = DictationTrigger::fnKey;
    QTimer m_permissionTimer;
    bool m_trustRequested = false;
    bool m_testSucceeded = false;
    QString m_testResult;
    bool m_finished = false;
    std::function<void()> m_onFinish;
};
