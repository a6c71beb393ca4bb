#include "insertion/insertionconfirmation.h"

#include <QRegularExpression>
#include <QStringList>

#include <algorithm>

#include <cstdlib>

using namespace Qt::StringLiterals;

namespace {

// White space runs collapsed to one space, trimmed; case untouched.
QString normalizeForConfirmation(const QString &text)
{
    static const QRegularExpression whiteSpace(u"\\s+"_s, QRegularExpression::UseUnicodePropertiesOption);
    return text.split(whiteSpace, Qt::SkipEmptyParts).join(u' ');
}

} // namespace

namespace InsertionConfirmation {

bool insertedExactly(const QString &before, const QString &after, const QString &text)
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

bool insertionWasConfirmed(
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

} // namespace InsertionConfirmation
