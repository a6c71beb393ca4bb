#include "core/dictationpresenter.h"

using namespace Qt::StringLiterals;

namespace {

const QString copyHint = u" Нажмите «Скопировать»."_s;
const QString savedTitle = u"Текст сохранён"_s;

// `text` behind the note of what was lost, when anything was.
QString noted(const QString &lossNote, const QString &text)
{
    return lossNote.isEmpty() ? text : lossNote + u' ' + text;
}

} // namespace

void OverlayPresenter::finishing(const AbstractDictationFlow &flow)
{
    if (flow.finishing() == AbstractDictationFlow::Finishing::recognition)
        m_overlay->showProcessing(u"Завершаю распознавание…"_s);
    else
        m_overlay->showEditing();
}

void OverlayPresenter::failed(const QString &message, const QString &lossNote)
{
    m_overlay->showMessage(u"Не понял…"_s, noted(lossNote, message), MessageTone::failure, failureHideAfter);
}

void OverlayPresenter::nothingRecognised(const QString &lossNote) { failed(u"Речь не распознана"_s, lossNote); }

void OverlayPresenter::inserted(const TextInsertionOutcome &outcome, const QString &text, const QString &lossNote)
{
    switch (outcome.kind) {
    case TextInsertionOutcome::Kind::inserted:
        m_overlay->showMessage(u"✓  Текст вставлен"_s, lossNote, MessageTone::success, insertedHideAfter);
        break;
    case TextInsertionOutcome::Kind::needsAccessibilityPermission:
        m_overlay->presentResult(
            savedTitle, noted(lossNote, u"Нет разрешения на автоматическую вставку."_s + copyHint), text);
        break;
    case TextInsertionOutcome::Kind::unconfirmed:
        m_overlay->presentResult(savedTitle,
            noted(lossNote,
                (outcome.reason.isEmpty() ? u"Ворсик не смог подтвердить, что поле приняло текст."_s : outcome.reason)
                    + copyHint),
            text);
        break;
    case TextInsertionOutcome::Kind::targetChanged:
        m_overlay->presentResult(savedTitle, noted(lossNote, outcome.reason + copyHint), text);
        break;
    }
}

void WalkthroughPresenter::finishing(const AbstractDictationFlow &flow)
{
    if (flow.walkthroughShowsFinishing())
        m_walkthrough->showTestProcessing();
    else
        m_overlay->finishing(flow);
}

void WalkthroughPresenter::nothingRecognised(const QString &) { m_walkthrough->showTestError(u"речь не распознана"_s); }
