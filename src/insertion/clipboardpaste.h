#pragma once

#include "insertion/keystrokesender.h"
#include "platform/clipboard.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QString>

#include <chrono>
#include <optional>

// The paste by the clipboard: the text goes onto the clipboard, the paste keystroke goes out,
// and the clipboard gets its earlier contents back a while later unless someone copied meanwhile.
class ClipboardPaste final : public QObject {
    Q_OBJECT
public:
    // The clipboard gets its earlier contents back this long after the keystroke.
    static constexpr std::chrono::milliseconds restoreDelay { 1500 };

    ClipboardPaste(AbstractClipboard &clipboard, AbstractKeystrokeSender &keystrokes, QObject *parent = nullptr);
    ~ClipboardPaste() override;

    // Writes the clipboard, sends the keystroke and schedules the restore; false when no keystroke went out.
    QCoro::Task<bool> paste(QString text, PasteShortcut shortcut);

private:
    struct PendingRestore {
        // Nothing when the contents could not be read: then nothing is put back.
        std::optional<ClipboardSnapshot> snapshot;
        quint64 changeCount = 0;
        quint64 generation = 0;
    };

    void restoreIfUntouched(quint64 generation);

    AbstractClipboard &m_clipboard;
    AbstractKeystrokeSender &m_keystrokes;
    std::optional<PendingRestore> m_pendingRestore;
    quint64 m_restoreGeneration = 0;
};
