#pragma once

#include <QString>

#include <chrono>

// What an overlay message tells the user; the overlay picks its look from it.
enum class MessageTone { success, failure };

class AbstractOverlay {
public:
    virtual ~AbstractOverlay() = default;
    virtual void showConnecting() = 0;
    virtual void showListening() = 0;
    virtual void showProcessing(const QString &title) = 0;
    virtual void showEditing() = 0;
    virtual void presentResult(const QString &title, const QString &message, const QString &text) = 0;
    // The overlay message: hide the result area, let clicks pass through, height 104,
    // then present the title, detail and the tone's mascot, hiding after `hideAfter`.
    virtual void showMessage(
        const QString &title, const QString &detail, MessageTone tone, std::chrono::milliseconds hideAfter)
        = 0;
    // The grey detail line (`transcriptLabel`), updated with partial transcripts.
    virtual void setTranscriptText(const QString &text) = 0;
};
