#pragma once

#include "core/textinsertion.h"

#include <QString>

#include <QCoro/QCoroTask>

#include <optional>

class AbstractTextInserter {
public:
    virtual ~AbstractTextInserter() = default;
    virtual QCoro::Task<std::optional<TextInsertionTarget>> captureTarget() = 0;
    virtual QCoro::Task<TextInsertionOutcome> insert(QString text, std::optional<TextInsertionTarget> target) = 0;
};
