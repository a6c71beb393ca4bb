#pragma once

#include "core/enums.h"

#include <QString>

#include <functional>

class AbstractOnboardingWindow {
public:
    virtual ~AbstractOnboardingWindow() = default;
    // For the shell: the walkthrough waits for its test dictation, so a press starts it.
    virtual bool awaitsTestDictation() const = 0;
    virtual void show() = 0;
    virtual void showTestConnecting() = 0;
    virtual void showTestListening() = 0;
    virtual void showTestProcessing() = 0;
    virtual void showTestError(const QString &message) = 0;
    virtual void showTestResult(const QString &text) = 0;
    // The shell's completion action, called once when the user finishes the walkthrough.
    virtual void setOnFinish(std::function<void()> onFinish) = 0;
    // What starts a dictation on this desktop, once known; the walkthrough says how to use it.
    virtual void setTrigger(DictationTrigger) { }
};
