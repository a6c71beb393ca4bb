#include "services/local/promptbudget.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

QString vocabularyLine(const QStringList &words) { return words.isEmpty() ? QString() : words.join(u", "_s) + u'.'; }

QString joined(const QString &first, const QString &second)
{
    return first.isEmpty() ? second : second.isEmpty() ? first : first + u' ' + second;
}

} // namespace

FittedPrompt PromptBudget::fit(const PromptParts &parts, int budget, const Tokenizer &tokenize)
{
    FittedPrompt fitted;
    const auto limit = std::size_t(std::max(0, budget));

    // Word by word, so that a word is either whole in the prompt or named as left out.
    QStringList kept;
    for (const QString &word : parts.vocabulary) {
        if (word.trimmed().isEmpty())
            continue;
        if (fitted.vocabularyLeftOut.isEmpty() && tokenize(vocabularyLine(kept + QStringList { word })).size() <= limit)
            kept.append(word);
        else
            fitted.vocabularyLeftOut.append(word);
    }
    QString head = vocabularyLine(kept);

    // The longest start of the context that fits, found by halving.
    const QStringList contextWords = parts.context.simplified().split(u' ', Qt::SkipEmptyParts);
    const auto withContext = [&](qsizetype words) { return joined(head, contextWords.first(words).join(u' ')); };
    qsizetype fits = 0;
    for (qsizetype tooMany = contextWords.size() + 1; tooMany - fits > 1;) {
        const qsizetype middle = (fits + tooMany) / 2;
        (tokenize(withContext(middle)).size() <= limit ? fits : tooMany) = middle;
    }
    head = withContext(fits);
    fitted.tokens = head.isEmpty() ? std::vector<int> {} : tokenize(head);

    const QString recent = parts.recentText.simplified();
    if (!recent.isEmpty() && fitted.tokens.size() < limit) {
        // The leading space keeps the tail a separate word from the head.
        const std::vector<int> tail = tokenize(head.isEmpty() ? recent : u' ' + recent);
        const std::size_t room = limit - fitted.tokens.size();
        const std::size_t take = std::min(room, tail.size());
        fitted.tokens.insert(fitted.tokens.end(), tail.end() - std::ptrdiff_t(take), tail.end());
    }
    return fitted;
}
