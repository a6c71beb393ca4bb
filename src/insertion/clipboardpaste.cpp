#include "insertion/clipboardpaste.h"

#include "core/logging.h"

#include <QPointer>
#include <QTimer>

ClipboardPaste::ClipboardPaste(AbstractClipboard &clipboard, AbstractKeystrokeSender &keystrokes, QObject *parent)
    : QObject(parent)
    , m_clipboard(clipboard)
    , m_keystrokes(keystrokes)
{
}

ClipboardPaste::~ClipboardPaste()
{
    // Leaving before the scheduled restore must not leave the dictated text in place of the user's clipboard.
    // What is put back is a copy this program serves, so on Wayland it goes when the program does: the
    // clipboard is then empty unless the desktop keeps a copy of its own (KDE's Klipper, GNOME Shell).
    if (m_pendingRestore && m_pendingRestore->snapshot && m_clipboard.changeCount() == m_pendingRestore->changeCount)
        m_clipboard.restore(*m_pendingRestore->snapshot);
}

QCoro::Task<bool> ClipboardPaste::paste(QString text, PasteShortcut shortcut)
{
    // A paste that follows another within the restore delay finds our own
    // previous text on the clipboard; the user's contents are the ones still waiting.
    std::optional<ClipboardSnapshot> snapshot;
    if (m_pendingRestore && m_clipboard.changeCount() == m_pendingRestore->changeCount) {
        snapshot = m_pendingRestore->snapshot;
    } else {
        QPointer<ClipboardPaste> self(this);
        snapshot = co_await m_clipboard.readSnapshot();
        if (!self)
            co_return false;
        if (!snapshot)
            qCWarning(lcInsertion) << "the clipboard could not be read: it is not put back after the paste";
    }
    m_clipboard.setText(text);
    if (shortcut == PasteShortcut::shiftInsert)
        m_clipboard.setSelectionText(text);
    const quint64 changeCount = m_clipboard.changeCount();
    {
        QPointer<ClipboardPaste> self(this);
        co_await m_clipboard.offered();
        if (!self)
            co_return false;
    }
    const bool sent = m_keystrokes.sendPaste(shortcut);

    const quint64 generation = ++m_restoreGeneration;
    m_pendingRestore = PendingRestore { std::move(snapshot), changeCount, generation };
    QTimer::singleShot(restoreDelay, this, [this, generation] { restoreIfUntouched(generation); });
    co_return sent;
}

void ClipboardPaste::restoreIfUntouched(quint64 generation)
{
    if (!m_pendingRestore || m_pendingRestore->generation != generation)
        return;
    const PendingRestore pending = std::move(*m_pendingRestore);
    m_pendingRestore.reset();
    // Someone copied something since the paste: theirs is the newer contents and stays.
    if (pending.snapshot && m_clipboard.changeCount() == pending.changeCount)
        m_clipboard.restore(*pending.snapshot);
}
