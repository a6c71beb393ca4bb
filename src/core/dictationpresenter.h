#pragma once

#include "core/abstractonboardingwindow.h"
#include "core/abstractoverlay.h"
#include "core/flows/abstractdictationflow.h"
#include "core/textinsertion.h"

#include <QString>

#include <chrono>
#include <optional>

// What the user sees of one dictation, from the accepted press to its outcome. The
// controller reports to one presenter a dictation: the overlay's normally, the
// walkthrough's for its test dictation. `lossNote` is what was lost of the recording, in
// words for the user, where it goes with the outcome; it may be empty.
class AbstractDictationPresenter {
public:
    virtual ~AbstractDictationPresenter() = default;
    // A wait before the recorder starts, if any.
    virtual std::optional<std::chrono::milliseconds> pauseBeforeRecording() const { return std::nullopt; }
    // False when the text is only shown (showText), pasted nowhere.
    virtual bool insertsText() const { return true; }

    virtual void connecting() = 0;
    virtual void listening() = 0;
    virtual void finishing(const AbstractDictationFlow &flow) = 0;
    virtual void failed(const QString &message, const QString &lossNote) = 0;
    virtual void nothingRecognised(const QString &lossNote) = 0;
    virtual void inserted(const TextInsertionOutcome &outcome, const QString &text, const QString &lossNote) = 0;
    virtual void showText(const QString &) { }
};

class OverlayPresenter final : public AbstractDictationPresenter {
public:
    static constexpr std::chrono::milliseconds failureHideAfter { 4500 };
    static constexpr std::chrono::milliseconds insertedHideAfter { 3500 };

    explicit OverlayPresenter(AbstractOverlay *overlay)
        : m_overlay(overlay)
    {
    }
    void connecting() override { m_overlay->showConnecting(); }
    void listening() override { m_overlay->showListening(); }
    void finishing(const AbstractDictationFlow &flow) override;
    void failed(const QString &message, const QString &lossNote) override;
    void nothingRecognised(const QString &lossNote) override;
    void inserted(const TextInsertionOutcome &outcome, const QString &text, const QString &lossNote) override;

private:
    AbstractOverlay *m_overlay;
};

// The walkthrough's test dictation: the walkthrough shows its steps and its text, which
// goes nowhere; the overlay shows the wait where the walkthrough does not.
class WalkthroughPresenter final : public AbstractDictationPresenter {
public:
    WalkthroughPresenter(AbstractOnboardingWindow *walkthrough, AbstractDictationPresenter *overlay,
        const std::chrono::milliseconds *pauseBeforeRecording)
        : m_walkthrough(walkthrough)
        , m_overlay(overlay)
        , m_pause(pauseBeforeRecording)
    {
    }
    // The user reads the walkthrough's words before it listens.
    std::optional<std::chrono::milliseconds> pauseBeforeRecording() const override { return *m_pause; }
    bool insertsText() const override { return false; }
    void connecting() override { m_walkthrough->showTestConnecting(); }
    void listening() override { m_walkthrough->showTestListening(); }
    void finishing(const AbstractDictationFlow &flow) override;
    void failed(const QString &message, const QString &) override { m_walkthrough->showTestError(message); }
    void nothingRecognised(const QString &) override;
    void inserted(const TextInsertionOutcome &, const QString &, const QString &) override { }
    void showText(const QString &text) override { m_walkthrough->showTestResult(text); }

private:
    AbstractOnboardingWindow *m_walkthrough;
    AbstractDictationPresenter *m_overlay;
    const std::chrono::milliseconds *m_pause;
};
