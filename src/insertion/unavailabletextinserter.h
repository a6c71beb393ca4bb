#pragma once

#include "neighbours.h"

// Until pasting is built, no target is captured and every text is kept for the
// user to copy; nothing is ever reported as inserted.
class UnavailableTextInserter final : public AbstractTextInserter
{
public:
    std::optional<TextInsertionTarget> captureTarget() override;
    QCoro::Task<TextInsertionOutcome> insert(QString text, std::optional<TextInsertionTarget> target) override;
};
