#pragma once

#include "core/abstractkeychain.h"
#include "core/abstracttextpolisher.h"
#include "core/editing/abstracttexteditor.h"

#include <functional>

// The keyring account of the OpenAI key; it unlocks both its recognition and its editing.
inline const QString openAIKeyAccount = QStringLiteral("openai-api-key");

// OpenAI's text editor model. Where it is not offered, there is no key, or it fails, the
// text goes to `fallback` instead: a failed edit keeps the text.
class OpenAIEditor final : public AbstractTextEditor {
public:
    // `offered` says whether the text may leave for the editor at all; none offers it always
    // (whatever key the keyring holds is tried, even an empty one).
    OpenAIEditor(AbstractKeychain *keys, AbstractTextPolisher *polisher, AbstractTextEditor *fallback,
        std::function<bool()> offered = {});

    QCoro::Task<std::optional<QString>> edit(QString text, SmartMode mode, DictationContext context) override;

private:
    AbstractKeychain *m_keys;
    AbstractTextPolisher *m_polisher;
    AbstractTextEditor *m_fallback;
    std::function<bool()> m_offered;
};
