#pragma once

#include "mascotframes.h"
#include "neighbours.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>

class ClampedLabel;
class ControllerWindow;
class FnKeyboardHintView;
class MascotView;
class QLabel;
class QPushButton;

enum class OnboardingStep { welcome, microphone, accessibility, ready };

// The first-start walkthrough: welcome, microphone, accessibility, and a test
// dictation that has to succeed before the setup counts as finished.
class OnboardingWindowController : public QObject, public AbstractOnboardingWindow {
    Q_OBJECT
public:
    // `openAccessibilitySettings` opens the desktop's accessibility settings where it can.
    OnboardingWindowController(AbstractAccessibilityPermission *accessibility,
        std::function<bool()> openAccessibilitySettings, QString mascotDirectory = MascotFrames::defaultDirectory(),
        QObject *parent = nullptr);
    explicit OnboardingWindowController(AbstractAccessibilityPermission *accessibility, QObject *parent = nullptr);
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

    AbstractAccessibilityPermission *m_accessibility;
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

    OnboardingStep m_currentStep = OnboardingStep::welcome;
    DictationTrigger m_trigger = DictationTrigger::fnKey;
    QTimer m_permissionTimer;
    bool m_trustRequested = false;
    bool m_testSucceeded = false;
    QString m_testResult;
    bool m_finished = false;
    std::function<void()> m_onFinish;
};
