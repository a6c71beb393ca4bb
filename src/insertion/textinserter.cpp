#include "insertion/textinserter.h"

#include "insertion/insertionroute.h"

#include <QElapsedTimer>
#include <QPointer>

#include <QCoro/QCoroTimer>

#include <algorithm>
#include <functional>

TextInserter::TextInserter(
    AccessibilityBackend &backend, AbstractClipboard &clipboard, AbstractKeystrokeSender &keystrokes, QObject *parent)
    : QObject(parent)
    , m_backend(backend)
    , m_keystrokes(keystrokes)
    , m_capture(backend)
    , m_thread(backend)
    , m_paste(clipboard, keystrokes)
{
}

TextInserter::~TextInserter() = default;

QCoro::Task<std::optional<TextInsertionTarget>> TextInserter::captureTarget()
{
    using Target = std::optional<TextInsertionTarget>;
    // Named, not temporary (GCC 12: docs/architecture.md, "Coroutines and GCC 12").
    const std::function<Target()> capture = [capture = &m_capture] { return capture->captureTarget(); };
    const std::optional<Target> captured = co_await m_thread.run<Target>(capture, readDeadline);
    co_return captured.value_or(std::nullopt);
}

QCoro::Task<TextInsertionOutcome> TextInserter::insert(QString text, std::optional<TextInsertionTarget> target)
{
    QPointer<TextInserter> self(this);
    // Named, not temporary (GCC 12: docs/architecture.md, "Coroutines and GCC 12").
    const std::function<TargetLook()> lookAgain
        = [field = &m_field, target] { return field->look(target, LookDepth::decision); };
    const std::optional<TargetLook> prePaste = co_await m_thread.run<TargetLook>(lookAgain, lookDeadline);
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

    using InsertionRoute::Start;
    const InsertionRoute::Decision route = InsertionRoute::choose({ .focusTakesText = prePaste->focusTakesText,
        .terminal = prePaste->terminal,
        .editor = prePaste->editor,
        .toolkit = prePaste->toolkit,
        .role = prePaste->role,
        .keystrokeReaches = m_keystrokes.reaches(*prePaste->target),
        .keystrokesOnlyWithoutDirectInsertion = m_keystrokes.forFieldsWithoutDirectInsertion() });
    if (route.start == Start::keep)
        co_return unconfirmed;
    if (route.start == Start::noKeystroke)
        co_return noKeystroke();
    if (route.start == Start::direct) {
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
    const bool sent = co_await m_paste.paste(text, prePaste->terminal.value_or(PasteShortcut::controlV));
    if (!self)
        co_return unconfirmed;
    if (!sent) {
        // No keystroke went out, so none can arrive after the text goes in straight.
        if (!route.directWhenUnsent)
            co_return noKeystroke();
        const std::optional<TextInsertionOutcome> outcome = co_await insertDirectlyOnThread(target, *prePaste, text);
        if (!self)
            co_return unconfirmed;
        co_return outcome ? *outcome : noKeystroke();
    }
    const TextInsertionOutcome confirmed = co_await confirmPaste(text, target, *prePaste, unconfirmed);
    co_return confirmed;
}

QCoro::Task<TextInsertionOutcome> TextInserter::confirmPaste(
    QString text, std::optional<TextInsertionTarget> target, TargetLook prePaste, TextInsertionOutcome unconfirmed)
{
    QPointer<TextInserter> self(this);
    // Named, not temporary (GCC 12: docs/architecture.md, "Coroutines and GCC 12").
    const std::function<TargetLook()> lookAgain
        = [field = &m_field, target] { return field->look(target, LookDepth::decision); };
    const std::function<TargetLook()> confirmationLook
        = [field = &m_field, target] { return field->look(target, LookDepth::confirmation); };
    const qint32 pid = prePaste.target->applicationPID;
    QElapsedTimer sincePaste;
    sincePaste.start();
    std::chrono::milliseconds checkpoint { 0 };
    const bool readable = prePaste.editor && (prePaste.editor->value || prePaste.editor->selectedRange);
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
            const std::optional<TargetLook> check = co_await m_thread.run<TargetLook>(confirmationLook, lookDeadline);
            if (!self)
                co_return unconfirmed;
            if (!check || !check->target || check->target->applicationPID != pid || !check->sameWindow)
                continue;
            if (InsertionConfirmation::insertionWasConfirmed(text, prePaste.editor, check->editor))
                co_return TextInsertionOutcome::inserted();
        }
    }

    // Nothing showed the text arriving; if the focus is still in the remembered
    // window, the paste went there.
    const std::optional<TargetLook> last = co_await m_thread.run<TargetLook>(lookAgain, lookDeadline);
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
    if (readable && last->editor == prePaste.editor)
        co_return unconfirmed;
    co_return TextInsertionOutcome::inserted();
}

QCoro::Task<std::optional<TextInsertionOutcome>> TextInserter::insertDirectlyOnThread(
    std::optional<TextInsertionTarget> stored, TargetLook decided, QString text)
{
    using Outcome = std::optional<TextInsertionOutcome>;
    // Named, not temporary (GCC 12: docs/architecture.md, "Coroutines and GCC 12").
    const std::function<Outcome()> work
        = [field = &m_field, stored, decided, text] { return field->insertDirectly(stored, decided, text); };
    const std::optional<Outcome> outcome = co_await m_thread.run<Outcome>(work, lookDeadline);
    // Unfinished by the deadline: the text may still arrive, so nothing else may follow it.
    co_return outcome.value_or(TextInsertionOutcome::unconfirmed());
}
