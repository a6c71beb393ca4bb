#pragma once

#include "neighbours.h"

// Stand-ins until the overlay, onboarding and settings windows are built. They
// show nothing; the onboarding reports itself finished-ready so that dictation
// can be tried from the menu.
class PlaceholderOverlay final : public AbstractOverlay
{
public:
    void showConnecting() override {}
    void showListening() override {}
    void showProcessing(const QString &) override {}
    void showEditing() override {}
    void presentResult(const QString &, const QString &, const QString &) override {}
    void showMessage(const QString &, const QString &, MascotState, std::chrono::milliseconds) override {}
    void setTranscriptText(const QString &) override {}
};

class PlaceholderOnboardingWindow final : public AbstractOnboardingWindow
{
public:
    OnboardingStep currentStep() const override { return OnboardingStep::ready; }
    void show() override {}
    void showTestConnecting() override {}
    void showTestListening() override {}
    void showTestProcessing() override {}
    void showTestError(const QString &) override {}
    void showTestResult(const QString &) override {}
    void setOnFinish(std::function<void()>) override {}
};

class PlaceholderSettingsWindow final : public AbstractSettingsWindow
{
public:
    void show() override {}
};
