#include "unavailabletextinserter.h"

std::optional<TextInsertionTarget> UnavailableTextInserter::captureTarget() { return std::nullopt; }

QCoro::Task<TextInsertionOutcome> UnavailableTextInserter::insert(QString, std::optional<TextInsertionTarget>)
{
    co_return TextInsertionOutcome::needsAccessibilityPermission();
}
