#pragma once

#include "core/abstractlocalrecognition.h"
#include "core/editing/abstracttexteditor.h"

// The text as the provider gave it: the own backend and GigaChat edit it before they answer.
class ProviderEditedText final : public AbstractTextEditor {
public:
    QCoro::Task<std::optional<QString>> edit(QString text, SmartMode, DictationContext) override { co_return text; }
};

// The rules of this computer, without a language model (fillers, repeats, spaces, capitals).
class LocalRulesEditor final : public AbstractTextEditor {
public:
    explicit LocalRulesEditor(AbstractLocalRecognition *recognition)
        : m_recognition(recognition)
    {
    }
    QCoro::Task<std::optional<QString>> edit(QString text, SmartMode mode, DictationContext) override
    {
        co_return mode == SmartMode::verbatim ? text : m_recognition->cleanUp(text, mode);
    }

private:
    AbstractLocalRecognition *m_recognition;
};
