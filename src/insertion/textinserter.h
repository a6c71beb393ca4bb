#pragma once

#include "accessibilitybackend.h"
#include "clipboard.h"
#include "keystrokesender.h"
#include "neighbours.h"
#include "targetcapture.h"

#include <QObject>
#include <QString>

#include <array>
#include <chrono>
#include <optional>

// The state of a focused text element before or after the paste.
struct EditorSnapshot
{
    std::optional<QString> value;
    std::optional<TextRange> selectedRange;
};

// Pastes a dictated text into the place remembered when the dictation began,
// only while that place is unchanged, and confirms that the text arrived.
class TextInserter final : public QObject, public AbstractTextInserter
{
    Q_OBJECT
public:
    static constexpr std::array<std::chrono::milliseconds, 3> confirmationDelays{
        std::chrono::milliseconds(180), std::chrono::milliseconds(260), std::chrono::milliseconds(360)};
    // The clipboard gets its earlier contents back this long after the keystroke.
    static constexpr std::chrono::milliseconds restoreDelay{1500};

    TextInserter(AccessibilityBackend &backend, AbstractClipboard &clipboard, AbstractKeystrokeSender &keystrokes,
                 QObject *parent = nullptr);
    ~TextInserter() override;

    QCoro::Task<std::optional<TextInsertionTarget>> captureTarget() override;
    QCoro::Task<TextInsertionOutcome> insert(QString text, std::optional<TextInsertionTarget> target) override;

    // Whether the focused field shows signs of the pasted text; lengths in UTF-16 code units.
    static bool insertionWasConfirmed(const QString &text, const std::optional<EditorSnapshot> &before,
                                      const std::optional<EditorSnapshot> &after);
    // White space runs collapsed to one space, trimmed; case untouched.
    static QString normalizeForConfirmation(const QString &text);

private:
    struct PendingRestore
    {
        ClipboardSnapshot snapshot;
        quint64 changeCount = 0;
        quint64 generation = 0;
    };

    std::optional<EditorSnapshot> editorSnapshot(const TextInsertionTarget &capture);
    PasteShortcut shortcutFor(const TextInsertionTarget &capture);
    // Writes the clipboard, sends the keystroke and schedules the restore; false when no keystroke went out.
    bool paste(const QString &text, PasteShortcut shortcut);
    void restoreIfUntouched(quint64 generation);

    AccessibilityBackend &m_backend;
    AbstractClipboard &m_clipboard;
    AbstractKeystrokeSender &m_keystrokes;
    TargetCapture m_capture;
    std::optional<PendingRestore> m_pendingRestore;
    quint64 m_restoreGeneration = 0;
};
