#pragma once

#include "core/dictationcontext.h"
#include "core/enums.h"

#include <QString>

#include <QCoro/QCoroTask>

#include <optional>

// Who edits a provider's recognised text before the paste. Registered beside the
// provider's flow: how a provider recognises does not decide who edits its text.
class AbstractTextEditor {
public:
    virtual ~AbstractTextEditor() = default;
    // The text as it is to be pasted, in `mode` (read once, when the text came); none when
    // the dictation ended meanwhile.
    virtual QCoro::Task<std::optional<QString>> edit(QString text, SmartMode mode, DictationContext context) = 0;
};
