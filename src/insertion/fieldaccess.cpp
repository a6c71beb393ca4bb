#include "insertion/fieldaccess.h"

#include "insertion/insertionroute.h"

using namespace Qt::StringLiterals;

const QString FieldAccess::fieldAlteredReason = u"Поле приняло текст не в том виде, в каком он продиктован."_s;
const QString FieldAccess::otherFieldReason = u"Курсор перешёл в другое поле."_s;

FieldAccess::FieldAccess(AccessibilityBackend &backend, TargetCapture &capture)
    : m_backend(backend)
    , m_capture(capture)
{
}

TargetLook FieldAccess::look(const std::optional<TextInsertionTarget> &stored, LookDepth depth)
{
    TargetLook result;
    result.busEnabled = m_backend.isBusEnabled();
    if (!result.busEnabled || !stored)
        return result;
    result.target = m_capture.captureTarget();
    result.changeReason = m_capture.changeReason(stored, result.target);
    if (result.target) {
        result.sameWindow = m_capture.windowsMatch(*stored, *result.target);
        result.editor = editorSnapshot(*result.target);
        if (depth == LookDepth::confirmation)
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

std::optional<TextInsertionOutcome> FieldAccess::insertDirectly(
    const std::optional<TextInsertionTarget> &stored, const TargetLook &decided, const QString &text)
{
    // Looked at again right before the text goes in: the focus may have moved since the decision.
    const TargetLook now = look(stored, LookDepth::confirmation);
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
    if (after && InsertionConfirmation::insertedExactly(before, *after, text))
        return TextInsertionOutcome::inserted();
    if (after && *after == before)
        return std::nullopt;
    // Something arrived, or cannot be seen: a paste on top could put the text in twice.
    const bool shown = accepted && after && decided.role != u"password text"_s;
    return shown ? TextInsertionOutcome::unconfirmed(fieldAlteredReason) : TextInsertionOutcome::unconfirmed();
}

std::optional<EditorSnapshot> FieldAccess::editorSnapshot(const TextInsertionTarget &capture)
{
    if (!capture.focusedElement)
        return std::nullopt;
    EditorSnapshot snapshot;
    snapshot.value = textAttribute(m_backend, capture.focusedElement, AccessibilityAttribute::value);
    snapshot.selectedRange
        = rangeAttribute(m_backend, capture.focusedElement, AccessibilityAttribute::selectedTextRange);
    return snapshot;
}

std::optional<PasteShortcut> FieldAccess::terminalShortcut(const TextInsertionTarget &capture)
{
    AccessibleElementRef element = capture.focusedElement;
    // The text area itself or the widget right around it; deeper lies the rest of the window.
    for (int depth = 0; element && depth < 3; ++depth) {
        if (textAttribute(m_backend, element, AccessibilityAttribute::role) == u"terminal"_s)
            return PasteShortcut::controlShiftV;
        element = elementAttribute(m_backend, element, AccessibilityAttribute::parent);
    }
    if (!capture.windowLevel) {
        const AccessibleElementRef application = m_backend.applicationElement(capture.applicationPID);
        if (const auto shortcut = InsertionRoute::terminalShortcutByName(
                textAttribute(m_backend, application, AccessibilityAttribute::title)))
            return shortcut;
    }
    return InsertionRoute::terminalShortcutByName(
        textAttribute(m_backend, capture.window, AccessibilityAttribute::windowClass));
}

std::optional<bool> FieldAccess::takesText(const TextInsertionTarget &capture)
{
    if (const std::optional<qint64> editable
        = integerAttribute(m_backend, capture.focusedElement, AccessibilityAttribute::editable))
        return *editable != 0;
    return std::nullopt;
}
