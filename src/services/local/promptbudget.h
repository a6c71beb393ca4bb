#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

// What a recogniser is told before a stretch, so that names and punctuation stay
// consistent: the user's vocabulary, the speech context and the end of the text so far.
struct PromptParts {
    QStringList vocabulary;
    QString context;
    QString recentText;
};

// A prompt within what the engine reads of one, counted in the engine's own tokens.
// The vocabulary comes first (it matters most), whole words in the user's order; then
// as much of the context as fits, from its start; then as much of the recent text as
// fits, from its end. Vocabulary words that do not fit are named, never dropped silently.
struct FittedPrompt {
    std::vector<int> tokens;
    QStringList vocabularyLeftOut;
};

namespace PromptBudget {

using Tokenizer = std::function<std::vector<int>(const QString &text)>;

FittedPrompt fit(const PromptParts &parts, int budget, const Tokenizer &tokenize);

} // namespace PromptBudget
