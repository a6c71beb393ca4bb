#include "core/enums.h"

using namespace Qt::StringLiterals;

namespace {

template<typename Enum, std::size_t N>
std::optional<Enum> parseExactly(const QString &raw, const std::array<Enum, N> &cases)
{
    for (Enum value : cases) {
        if (rawValue(value) == raw) // QString == is exact and case-sensitive
            return value;
    }
    return std::nullopt;
}

} // namespace

QString rawValue(AIProvider provider)
{
    switch (provider) {
    case AIProvider::vorsik:
        return u"vorsik"_s;
    case AIProvider::openAI:
        return u"openAI"_s;
    case AIProvider::gigaChat:
        return u"gigaChat"_s;
    }
    return {};
}

QString rawValue(SmartMode mode)
{
    switch (mode) {
    case SmartMode::verbatim:
        return u"verbatim"_s;
    case SmartMode::clean:
        return u"clean"_s;
    case SmartMode::structured:
        return u"structured"_s;
    }
    return {};
}

QString rawValue(TextPolisher::Quality quality)
{
    switch (quality) {
    case TextPolisher::Quality::fast:
        return u"fast"_s;
    case TextPolisher::Quality::accurate:
        return u"accurate"_s;
    case TextPolisher::Quality::maximum:
        return u"maximum"_s;
    }
    return {};
}

std::optional<AIProvider> parseAIProvider(const QString &raw) { return parseExactly(raw, allAIProviders); }
std::optional<SmartMode> parseSmartMode(const QString &raw) { return parseExactly(raw, allSmartModes); }
std::optional<TextPolisher::Quality> parsePolishQuality(const QString &raw)
{
    return parseExactly(raw, allPolishQualities);
}

QString displayTitle(SmartMode mode)
{
    switch (mode) {
    case SmartMode::verbatim:
        return u"Без обработки"_s;
    case SmartMode::clean:
        return u"Исправлять ошибки — рекомендуется"_s;
    case SmartMode::structured:
        return u"Исправлять и структурировать"_s;
    }
    return {};
}
