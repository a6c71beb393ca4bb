#include "textinserter.h"

#include <QPointer>
#include <QRegularExpression>
#include <QTimer>

#include <QCoro/QCoroTimer>

#include <cstdlib>

using namespace Qt::StringLiterals;

TextInserter::TextInserter(AccessibilityBackend &backend, AbstractClipboard &clipboard,
                           AbstractKeystrokeSender &keystrokes, QObject *parent)
    : QObject(parent), m_backend(backend), m_clipboard(clipboard), m_keystrokes(keystrokes), m_capture(backend)
{
}

TextInserter::~TextInserter()
{
    // Leaving before the scheduled restore must not leave the dictated text in place of the user's clipboard.
    if (m_pendingRestore && m_clipboard.changeCount() == m_pendingRestore->changeCount)
        m_clipboard.restore(m_pendingRestore->snapshot);
}

QCoro::Task<std::optional<TextInsertionTarget>> TextInserter::captureTarget()
{
    co_return m_capture.captureTarget();
}

QCoro::Task<TextInsertionOutcome> TextInserter::insert(QString text, std::optional<TextInsertionTarget> target)
{
    if (!m_backend.isTrusted()) {
        m_backend.requestTrust();
        co_return TextInsertionOutcome::needsAccessibilityPermission();
    }
    if (!target)
        co_return TextInsertionOutcome::targetChanged(TargetCapture::noStoredTargetReason);

    const std::optional<TextInsertionTarget> prePaste = m_capture.captureTarget();
    if (std::optional<QString> reason = m_capture.changeReason(target, prePaste))
        co_return TextInsertionOutcome::targetChanged(*reason);

    const std::optional<EditorSnapshot> before = editorSnapshot(*prePaste);
    // Without a keystroke nothing can have been pasted, whatever the window still looks like.
    if (!paste(text, shortcutFor(*prePaste)))
        co_return TextInsertionOutcome::unconfirmed();

    QPointer<TextInserter> self(this);
    for (const std::chrono::milliseconds delay : confirmationDelays) {
        co_await QCoro::sleepFor(delay);
        if (!self)
            co_return TextInsertionOutcome::unconfirmed();
        const std::optional<TextInsertionTarget> check = m_capture.captureTarget();
        if (!check || check->applicationPID != prePaste->applicationPID || !m_capture.windowsMatch(*target, *check))
            continue;
        if (insertionWasConfirmed(text, before, editorSnapshot(*check)))
            co_return TextInsertionOutcome::inserted();
    }

    // Nothing showed the text arriving; if the focus is still in the remembered
    // window, the paste went there.
    const std::optional<TextInsertionTarget> final = m_capture.captureTarget();
    if (!final)
        co_return TextInsertionOutcome::unconfirmed();
    if (final->applicationPID != prePaste->applicationPID)
        co_return TextInsertionOutcome::targetChanged(TargetCapture::otherApplicationReason);
    if (target->pageIdentity && final->pageIdentity && *target->pageIdentity != *final->pageIdentity)
        co_return TextInsertionOutcome::targetChanged(TargetCapture::otherPageReason);
    if (!m_capture.windowsMatch(*target, *final))
        co_return TextInsertionOutcome::targetChanged(TargetCapture::otherWindowReason);
    co_return TextInsertionOutcome::inserted();
}

std::optional<EditorSnapshot> TextInserter::editorSnapshot(const TextInsertionTarget &capture)
{
    if (!capture.focusedElement)
        return std::nullopt;
    EditorSnapshot snapshot;
    snapshot.value = textAttribute(m_backend, capture.focusedElement, AccessibilityAttribute::value);
    snapshot.selectedRange = rangeAttribute(m_backend, capture.focusedElement, AccessibilityAttribute::selectedTextRange);
    return snapshot;
}

PasteShortcut TextInserter::shortcutFor(const TextInsertionTarget &capture)
{
    // Terminals take Ctrl+V as a control character; they paste with Ctrl+Shift+V.
    const std::optional<QString> role = textAttribute(m_backend, capture.focusedElement, AccessibilityAttribute::role);
    return role == u"terminal"_s ? PasteShortcut::controlShiftV : PasteShortcut::controlV;
}

bool TextInserter::paste(const QString &text, PasteShortcut shortcut)
{
    // A paste that follows another within the restore delay finds our own
    // previous text on the clipboard; the user's contents are the ones still waiting.
    ClipboardSnapshot snapshot = m_pendingRestore && m_clipboard.changeCount() == m_pendingRestore->changeCount
        ? m_pendingRestore->snapshot
        : m_clipboard.snapshot();
    m_clipboard.setText(text);
    const quint64 changeCount = m_clipboard.changeCount();
    const bool sent = m_keystrokes.sendPaste(shortcut);

    const quint64 generation = ++m_restoreGeneration;
    m_pendingRestore = PendingRestore{std::move(snapshot), changeCount, generation};
    QTimer::singleShot(restoreDelay, this, [this, generation] { restoreIfUntouched(generation); });
    return sent;
}

void TextInserter::restoreIfUntouched(quint64 generation)
{
    if (!m_pendingRestore || m_pendingRestore->generation != generation)
        return;
    const PendingRestore pending = std::move(*m_pendingRestore);
    m_pendingRestore.reset();
    // Someone copied something since the paste: theirs is the newer contents and stays.
    if (m_clipboard.changeCount() == pending.changeCount)
        m_clipboard.restore(pending.snapshot);
}

QString TextInserter::normalizeForConfirmation(const QString &text)
{
    static const QRegularExpression whiteSpace(u"\\s+"_s, QRegularExpression::UseUnicodePropertiesOption);
    return text.split(whiteSpace, Qt::SkipEmptyParts).join(u' ');
}

bool TextInserter::insertionWasConfirmed(const QString &text, const std::optional<EditorSnapshot> &before,
                                         const std::optional<EditorSnapshot> &after)
{
    if (!after)
        return false;
    const qint64 pastedLength = text.size();

    if (before && before->selectedRange && after->selectedRange && after->selectedRange->length == 0) {
        const qint64 expectedCaret = before->selectedRange->location + pastedLength;
        if (std::llabs(after->selectedRange->location - expectedCaret) <= 2)
            return true;
    }

    if (!after->value)
        return false;

    if (before && before->value) {
        if (*after->value == *before->value)
            return false;
        const qint64 replaced = before->selectedRange ? before->selectedRange->length : 0;
        const qint64 grown = qint64(after->value->size()) - qint64(before->value->size());
        if (std::llabs(grown - (pastedLength - replaced)) <= 3)
            return true;
    }

    const QString pasted = normalizeForConfirmation(text);
    const QString afterValue = normalizeForConfirmation(*after->value);
    const QString beforeValue = before && before->value ? normalizeForConfirmation(*before->value) : QString();
    return !pasted.isEmpty() && afterValue.contains(pasted) && !beforeValue.contains(pasted);
}
