#include "textinserter.h"

#include "blockingwork.h"
#include "logging.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFutureWatcher>
#include <QPointer>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTimer>

#include <QCoro/QCoroSignal>
#include <QCoro/QCoroTimer>

#include <algorithm>

#include <cstdlib>

using namespace Qt::StringLiterals;

const QString TextInserter::fieldAlteredReason = u"Поле приняло текст не в том виде, в каком он продиктован."_s;
const QString TextInserter::otherFieldReason = u"Курсор перешёл в другое поле."_s;

TextInserter::TextInserter(
    AccessibilityBackend &backend, AbstractClipboard &clipboard, AbstractKeystrokeSender &keystrokes, QObject *parent)
    : QObject(parent)
    , m_backend(backend)
    , m_clipboard(clipboard)
    , m_keystrokes(keystrokes)
    , m_capture(backend)
    , m_accessibilityContext(new QObject)
{
    m_accessibilityThread.setObjectName(u"accessibility"_s);
    m_accessibilityContext->moveToThread(&m_accessibilityThread);
    connect(&m_accessibilityThread, &QThread::finished, m_accessibilityContext, &QObject::deleteLater);
    m_accessibilityThread.start();
    // Connecting early lets the backend follow focus events from the start.
    QMetaObject::invokeMethod(
        m_accessibilityContext, [this] { m_backend.isBusEnabled(); }, Qt::QueuedConnection);
}

TextInserter::~TextInserter()
{
    // Leaving before the scheduled restore must not leave the dictated text in place of the user's clipboard.
    // What is put back is a copy this program serves, so on Wayland it goes when the program does: the
    // clipboard is then empty unless the desktop keeps a copy of its own (KDE's Klipper, GNOME Shell).
    if (m_pendingRestore && m_pendingRestore->snapshot && m_clipboard.changeCount() == m_pendingRestore->changeCount)
        m_clipboard.restore(*m_pendingRestore->snapshot);
    // Work still queued is dropped; a call in progress ends within its time-out.
    m_accessibilityThread.quit();
    m_accessibilityThread.wait();
}

template<typename Result>
QCoro::Task<std::optional<Result>> TextInserter::onAccessibilityThread(
    const std::function<Result()> &work, std::chrono::milliseconds timeout)
{
    const QDeadlineTimer deadline(timeout);
    QFuture<Result> future = BlockingWork::onOwnThread(
        [this](std::function<void()> queued) {
            return QMetaObject::invokeMethod(m_accessibilityContext, std::move(queued), Qt::QueuedConnection);
        },
        [this, deadline, work] {
            m_backend.setDeadline(deadline);
            const auto reset = qScopeGuard([this] { m_backend.setDeadline(QDeadlineTimer(QDeadlineTimer::Forever)); });
            return work();
        });

    QFutureWatcher<Result> watcher;
    watcher.setFuture(future);
    if (!future.isFinished()) {
        const auto left = std::chrono::milliseconds(std::max<qint64>(deadline.remainingTime(), 0));
        co_await qCoro(&watcher, &QFutureWatcherBase::finished, left);
    }
    if (!future.isResultReadyAt(0))
        co_return std::nullopt;
    co_return future.resultAt(0);
}

QCoro::Task<std::optional<TextInsertionTarget>> TextInserter::captureTarget()
{
    using Target = std::optional<TextInsertionTarget>;
    // Named, not temporary: GCC 12 destroys some temporaries of a co_await expression twice.
    const std::function<Target()> capture = [this] { return m_capture.captureTarget(); };
    const std::optional<Target> captured = co_await onAccessibilityThread<Target>(capture, readDeadline);
    co_return captured.value_or(std::nullopt);
}

TextInserter::Look TextInserter::look(const std::optional<TextInsertionTarget> &stored, bool decide)
{
    Look result;
    result.busEnabled = m_backend.isBusEnabled();
    if (!result.busEnabled || !stored)
        return result;
    result.target = m_capture.captureTarget();
    result.changeReason = m_capture.changeReason(stored, result.target);
    if (result.target) {
        result.sameWindow = m_capture.windowsMatch(*stored, *result.target);
        result.editor = editorSnapshot(*result.target);
        if (!decide)
            return result;
        result.terminal = terminalShortcut(*result.target);
        if (result.target->focusedElement) {
            result.focusTakesText = result.terminal ? std::optional(true) : takesText(*result.target);
            result.toolkit = textAttribute(m_backend, result.target->focusedElement, AccessibilityAttribute::toolkit);
            result.role = textAttribute(m_backend, result.target->focusedElement, AccessibilityAttribute::role);
        }
    }
    return result;
}

QCoro::Task<TextInsertionOutcome> TextInserter::insert(QString text, std::optional<TextInsertionTarget> target)
{
    QPointer<TextInserter> self(this);
    // Named, not temporary: GCC 12 destroys some temporaries of a co_await expression twice.
    const std::function<Look()> lookAgain = [this, target] { return look(target, true); };
    const std::function<Look()> confirmationLook = [this, target] { return look(target, false); };
    const std::optional<Look> prePaste = co_await onAccessibilityThread<Look>(lookAgain, lookDeadline);
    if (!self)
        co_return TextInsertionOutcome::unconfirmed();
    if (prePaste && !prePaste->busEnabled) {
        m_backend.enableBus();
        co_return TextInsertionOutcome::needsAccessibilityPermission();
    }
    if (!target)
        co_return TextInsertionOutcome::targetChanged(TargetCapture::noStoredTargetReason);
    if (!prePaste)
        co_return TextInsertionOutcome::targetChanged(TargetCapture::noCurrentWindowReason);
    if (prePaste->changeReason)
        co_return TextInsertionOutcome::targetChanged(*prePaste->changeReason);
    // Where nothing inside the window can be read, that is what the kept text is explained by.
    const TextInsertionOutcome unconfirmed = target->windowLevel
        ? TextInsertionOutcome::unconfirmed(TargetCapture::noTextFieldReason)
        : TextInsertionOutcome::unconfirmed();

    // Where no keystroke goes out, that is why nothing was pasted, whatever the target.
    const auto noKeystroke = [&] {
        const QString reason = m_keystrokes.unavailableReason();
        return reason.isEmpty() ? unconfirmed : TextInsertionOutcome::unconfirmed(reason);
    };

    // A keystroke into something that takes no text is lost.
    if (prePaste->focusTakesText == false)
        co_return unconfirmed;
    const bool direct = takesTextDirectly(*prePaste);
    const bool directFirst = direct
        && (m_keystrokes.forFieldsWithoutDirectInsertion()
            || insertsDirectlyFirst(prePaste->toolkit, prePaste->role, *prePaste->editor));
    // Where no keystroke gets there, an editable field can still take the text straight, and show it.
    if (!m_keystrokes.reaches(*prePaste->target) || directFirst) {
        if (!direct)
            co_return noKeystroke();
        const std::optional<TextInsertionOutcome> outcome = co_await insertDirectlyOnThread(target, *prePaste, text);
        if (!self)
            co_return unconfirmed;
        if (outcome)
            co_return *outcome;
        // Left as it was: the paste may try, where a keystroke gets there.
        if (!m_keystrokes.reaches(*prePaste->target))
            co_return unconfirmed;
    }
    // Without a keystroke nothing can have been pasted, whatever the window still looks like.
    // Terminals take Ctrl+V as a control character; they paste with Ctrl+Shift+V.
    const bool sent = co_await paste(text, prePaste->terminal.value_or(PasteShortcut::controlV));
    if (!self)
        co_return unconfirmed;
    if (!sent) {
        // No keystroke went out, so none can arrive after the text goes in straight.
        if (!direct || directFirst)
            co_return noKeystroke();
        const std::optional<TextInsertionOutcome> outcome = co_await insertDirectlyOnThread(target, *prePaste, text);
        if (!self)
            co_return unconfirmed;
        co_return outcome ? *outcome : noKeystroke();
    }

    const qint32 pid = prePaste->target->applicationPID;
    QElapsedTimer sincePaste;
    sincePaste.start();
    std::chrono::milliseconds checkpoint { 0 };
    const bool readable = prePaste->editor && (prePaste->editor->value || prePaste->editor->selectedRange);
    for (const std::chrono::milliseconds delay : confirmationDelays) {
        checkpoint += delay;
        // Every look is a full check; looking sooner only ends the wait sooner. Without a
        // field that shows its text or caret there is nothing to see early.
        bool lastOfWait = false;
        while (!lastOfWait) {
            const auto left = checkpoint - std::chrono::milliseconds(sincePaste.elapsed());
            const bool early = readable && left > earlyLookInterval;
            co_await QCoro::sleepFor(early ? earlyLookInterval : std::max(left, std::chrono::milliseconds(0)));
            lastOfWait = !early;
            if (!self)
                co_return unconfirmed;
            const std::optional<Look> check = co_await onAccessibilityThread<Look>(confirmationLook, lookDeadline);
            if (!self)
                co_return unconfirmed;
            if (!check || !check->target || check->target->applicationPID != pid || !check->sameWindow)
                continue;
            if (insertionWasConfirmed(text, prePaste->editor, check->editor))
                co_return TextInsertionOutcome::inserted();
        }
    }

    // Nothing showed the text arriving; if the focus is still in the remembered
    // window, the paste went there.
    const std::optional<Look> last = co_await onAccessibilityThread<Look>(lookAgain, lookDeadline);
    if (!self || !last || !last->target)
        co_return unconfirmed;
    if (last->target->applicationPID != pid)
        co_return TextInsertionOutcome::targetChanged(TargetCapture::otherApplicationReason);
    if (target->pageIdentity && last->target->pageIdentity && *target->pageIdentity != *last->target->pageIdentity)
        co_return TextInsertionOutcome::targetChanged(TargetCapture::otherPageReason);
    if (!last->sameWindow)
        co_return TextInsertionOutcome::targetChanged(TargetCapture::otherWindowReason);
    // The same window alone is no evidence: the focus must be in something that takes text,
    // unless nothing inside the window can be read at all.
    if (last->focusTakesText != true && !last->target->windowLevel)
        co_return unconfirmed;
    // A field that shows its text or caret and shows them as before the paste refused it (a validator,
    // a length limit): the same window counts only where nothing in it can be read.
    if (readable && last->editor == prePaste->editor)
        co_return unconfirmed;
    co_return TextInsertionOutcome::inserted();
}

bool TextInserter::takesTextDirectly(const Look &look)
{
    return look.focusTakesText == true && !look.terminal && look.editor && look.editor->value;
}

bool TextInserter::insertsDirectlyFirst(
    const std::optional<QString> &toolkit, const std::optional<QString> &role, const EditorSnapshot &editor)
{
    const bool selection = editor.selectedRange && editor.selectedRange->length > 0;
    return !selection && role != u"password text"_s && toolkit && toolkit->compare(u"gtk", Qt::CaseInsensitive) == 0;
}

QCoro::Task<std::optional<TextInsertionOutcome>> TextInserter::insertDirectlyOnThread(
    std::optional<TextInsertionTarget> stored, Look decided, QString text)
{
    using Outcome = std::optional<TextInsertionOutcome>;
    // Named, not temporary: GCC 12 destroys some temporaries of a co_await expression twice.
    const std::function<Outcome()> work
        = [this, stored, decided, text] { return insertDirectly(stored, decided, text); };
    const std::optional<Outcome> outcome = co_await onAccessibilityThread<Outcome>(work, lookDeadline);
    // Unfinished by the deadline: the text may still arrive, so nothing else may follow it.
    co_return outcome.value_or(TextInsertionOutcome::unconfirmed());
}

std::optional<TextInsertionOutcome> TextInserter::insertDirectly(
    const std::optional<TextInsertionTarget> &stored, const Look &decided, const QString &text)
{
    // Looked at again right before the text goes in: the focus may have moved since the decision.
    const Look now = look(stored, false);
    if (!now.target)
        return TextInsertionOutcome::targetChanged(TargetCapture::noCurrentWindowReason);
    if (now.changeReason)
        return TextInsertionOutcome::targetChanged(*now.changeReason);
    const AccessibleElementRef field = now.target->focusedElement;
    if (!field || !m_backend.isSameObject(field, decided.target->focusedElement))
        return TextInsertionOutcome::targetChanged(otherFieldReason);
    if (!now.editor || !now.editor->value)
        return std::nullopt;
    const QString before = *now.editor->value;
    const bool accepted = m_backend.insertText(field, text);
    const std::optional<QString> after = textAttribute(m_backend, field, AccessibilityAttribute::value);
    if (after && insertedExactly(before, *after, text))
        return TextInsertionOutcome::inserted();
    if (after && *after == before)
        return std::nullopt;
    // Something arrived, or cannot be seen: a paste on top could put the text in twice.
    const bool shown = accepted && after && decided.role != u"password text"_s;
    return shown ? TextInsertionOutcome::unconfirmed(fieldAlteredReason) : TextInsertionOutcome::unconfirmed();
}

std::optional<EditorSnapshot> TextInserter::editorSnapshot(const TextInsertionTarget &capture)
{
    if (!capture.focusedElement)
        return std::nullopt;
    EditorSnapshot snapshot;
    snapshot.value = textAttribute(m_backend, capture.focusedElement, AccessibilityAttribute::value);
    snapshot.selectedRange
        = rangeAttribute(m_backend, capture.focusedElement, AccessibilityAttribute::selectedTextRange);
    return snapshot;
}

std::optional<PasteShortcut> TextInserter::terminalShortcut(const TextInsertionTarget &capture)
{
    // Matched against the application's name and window class in lower case, without a path.
    static const QStringList knownTerminals { u"gnome-terminal"_s, u"gnome-terminal-server"_s, u"konsole"_s,
        u"xfce4-terminal"_s, u"qterminal"_s, u"tilix"_s, u"terminator"_s, u"kitty"_s, u"alacritty"_s, u"wezterm"_s,
        u"wezterm-gui"_s, u"foot"_s, u"lxterminal"_s, u"terminal"_s };
    // These bind no key to the clipboard: Ctrl+Shift+V types ^V; Shift+Insert pastes the primary selection.
    static const QStringList selectionTerminals { u"xterm"_s, u"uxterm"_s, u"urxvt"_s, u"rxvt"_s };
    AccessibleElementRef element = capture.focusedElement;
    // The text area itself or the widget right around it; deeper lies the rest of the window.
    for (int depth = 0; element && depth < 3; ++depth) {
        if (textAttribute(m_backend, element, AccessibilityAttribute::role) == u"terminal"_s)
            return PasteShortcut::controlShiftV;
        element = elementAttribute(m_backend, element, AccessibilityAttribute::parent);
    }
    const auto known = [](const std::optional<QString> &names) -> std::optional<PasteShortcut> {
        for (const QString &part : names.value_or(QString()).split(u'\n')) {
            // A path's last part, or a Wayland app id's ("org.kde.konsole").
            QString name = part.trimmed().section(u'/', -1).toLower();
            if (!knownTerminals.contains(name) && !selectionTerminals.contains(name))
                name = name.section(u'.', -1);
            if (selectionTerminals.contains(name))
                return PasteShortcut::shiftInsert;
            if (knownTerminals.contains(name))
                return PasteShortcut::controlShiftV;
        }
        return std::nullopt;
    };
    if (!capture.windowLevel) {
        const AccessibleElementRef application = m_backend.applicationElement(capture.applicationPID);
        if (const auto shortcut = known(textAttribute(m_backend, application, AccessibilityAttribute::title)))
            return shortcut;
    }
    return known(textAttribute(m_backend, capture.window, AccessibilityAttribute::windowClass));
}

std::optional<bool> TextInserter::takesText(const TextInsertionTarget &capture)
{
    if (const std::optional<qint64> editable
        = integerAttribute(m_backend, capture.focusedElement, AccessibilityAttribute::editable))
        return *editable != 0;
    return std::nullopt;
}

QCoro::Task<bool> TextInserter::paste(QString text, PasteShortcut shortcut)
{
    // A paste that follows another within the restore delay finds our own
    // previous text on the clipboard; the user's contents are the ones still waiting.
    std::optional<ClipboardSnapshot> snapshot;
    if (m_pendingRestore && m_clipboard.changeCount() == m_pendingRestore->changeCount) {
        snapshot = m_pendingRestore->snapshot;
    } else {
        QPointer<TextInserter> self(this);
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
        QPointer<TextInserter> self(this);
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

void TextInserter::restoreIfUntouched(quint64 generation)
{
    if (!m_pendingRestore || m_pendingRestore->generation != generation)
        return;
    const PendingRestore pending = std::move(*m_pendingRestore);
    m_pendingRestore.reset();
    // Someone copied something since the paste: theirs is the newer contents and stays.
    if (pending.snapshot && m_clipboard.changeCount() == pending.changeCount)
        m_clipboard.restore(*pending.snapshot);
}

bool TextInserter::insertedExactly(const QString &before, const QString &after, const QString &text)
{
    if (text.isEmpty() || after.size() != before.size() + text.size())
        return false;
    // The text sits somewhere between the longest common start and the longest common end.
    qsizetype start = 0;
    while (start < before.size() && before.at(start) == after.at(start))
        ++start;
    qsizetype end = 0;
    while (end < before.size() && before.at(before.size() - 1 - end) == after.at(after.size() - 1 - end))
        ++end;
    for (qsizetype at = std::max<qsizetype>(0, before.size() - end); at <= start; ++at) {
        if (QStringView(after).mid(at, text.size()) == text
            && QStringView(after).left(at) == QStringView(before).left(at))
            return true;
    }
    return false;
}

QString TextInserter::normalizeForConfirmation(const QString &text)
{
    static const QRegularExpression whiteSpace(u"\\s+"_s, QRegularExpression::UseUnicodePropertiesOption);
    return text.split(whiteSpace, Qt::SkipEmptyParts).join(u' ');
}

bool TextInserter::insertionWasConfirmed(
    const QString &text, const std::optional<EditorSnapshot> &before, const std::optional<EditorSnapshot> &after)
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
