#pragma once

#include <QString>
#include <QStringList>

#include <array>
#include <optional>

// The small vocabulary the whole program shares. Raw values are what the
// settings file stores; parsing is exact and case-sensitive, anything else
// is "no value" and every reader applies its own fallback.

enum class DictationState { idle, connecting, recording, processing };

// What starts and ends a dictation here: the Fn key, a shortcut the user binds in the desktop's
// settings, or — when neither can be observed — `verbulo --toggle` bound to a key by the user.
enum class DictationTrigger { fnKey, desktopShortcut, toggleCommand };

enum class AIProvider { vorsik, openAI, gigaChat };

enum class SmartMode { verbatim, clean, structured };

namespace TextPolisher {
enum class Quality { fast, accurate, maximum };
}

inline constexpr std::array allAIProviders { AIProvider::vorsik, AIProvider::openAI, AIProvider::gigaChat };
inline constexpr std::array allSmartModes { SmartMode::verbatim, SmartMode::clean, SmartMode::structured };
inline constexpr std::array allPolishQualities { TextPolisher::Quality::fast, TextPolisher::Quality::accurate,
    TextPolisher::Quality::maximum };

QString rawValue(AIProvider provider);
QString rawValue(SmartMode mode);
QString rawValue(TextPolisher::Quality quality);

std::optional<AIProvider> parseAIProvider(const QString &raw);
std::optional<SmartMode> parseSmartMode(const QString &raw);
std::optional<TextPolisher::Quality> parsePolishQuality(const QString &raw);

// Title shown in the settings window's mode list.
QString displayTitle(SmartMode mode);
