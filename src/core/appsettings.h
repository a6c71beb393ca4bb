#pragma once

#include "core/enums.h"

#include <QString>
#include <QStringList>

#include <optional>

// Per-user settings. Nothing is cached: every call opens the store afresh, so a
// value changed by the settings window or by another process counts at the next use.
// A missing, unreadable or malformed value reads as absent and each reader applies
// its fallback; nothing here reports an error.
namespace AppSettings {

namespace Keys {
inline constexpr QStringView aiProvider = u"aiProvider";
inline constexpr QStringView smartMode = u"smartMode";
inline constexpr QStringView textQuality = u"textQuality";
inline constexpr QStringView customVocabulary = u"customVocabulary";
inline constexpr QStringView transcriptionPrompt = u"transcriptionPrompt";
inline constexpr QStringView lastText = u"lastText";
inline constexpr QStringView recentTexts = u"recentTexts";
inline constexpr QStringView onboardingCompleted = u"vorsikOnboardingCompleted";
inline constexpr QStringView installationToken = u"vorsikInstallationToken";
inline constexpr QStringView deviceID = u"vorsikDeviceID";
// Recognition on this computer (builds without the own backend).
inline constexpr QStringView localModel = u"localModel";
inline constexpr QStringView localModelsURL = u"localModelsURL";
// Where the GGUF models come from (the model hub's address; tests point it at a loopback server).
inline constexpr QStringView localHubURL = u"localHubURL";
// Set once the user with a whisper model was offered the better model for their language.
inline constexpr QStringView localBetterModelOffered = u"localBetterModelOffered";
inline constexpr QStringView localLanguage = u"localLanguage";
inline constexpr QStringView localSpokenPunctuation = u"localSpokenPunctuation";
inline constexpr QStringView localModelKeepMinutes = u"localModelKeepMinutes";
// Recognition on a server the user runs (OpenAI-compatible API); an empty address: this computer.
inline constexpr QStringView recognitionServerURL = u"recognitionServerURL";
inline constexpr QStringView recognitionServerModel = u"recognitionServerModel";
// A company's own certificate authority (PEM or DER file), trusted beside the system's.
inline constexpr QStringView recognitionServerCAFile = u"recognitionServerCAFile";
// Plain HTTP to a server that is not this computer, the user's choice.
inline constexpr QStringView recognitionServerAllowUnencrypted = u"recognitionServerAllowUnencrypted";
// The OpenAI text editor for what was recognised on this computer: off unless the user turns it on.
inline constexpr QStringView localEditWithOpenAI = u"localEditWithOpenAI";
// Vocabulary words the recognition model's prompt could not hold at the last dictation.
inline constexpr QStringView localVocabularyLeftOut = u"localVocabularyLeftOut";
// Pasting by keystrokes through the desktop's remote-desktop portal (GNOME), off unless turned on,
// and the portal's token that spares the user its question after the first time.
inline constexpr QStringView remoteDesktopPaste = u"remoteDesktopPaste";
inline constexpr QStringView remoteDesktopRestoreToken = u"remoteDesktopRestoreToken";
} // namespace Keys

QString defaultCustomVocabulary();
QString defaultTranscriptionPrompt();

// Plain store access, the equivalents of string(forKey:), stringArray(forKey:),
// bool(forKey:), set(_:forKey:), setBool(_:forKey:) and removeObject(forKey:).
std::optional<QString> string(QStringView key);
std::optional<QStringList> stringArray(QStringView key);
bool boolValue(QStringView key);
void setString(QStringView key, const QString &value);
void setBool(QStringView key, bool value);
void remove(QStringView key);

std::optional<QString> lastText();
void rememberLastText(const QString &text);
QString customVocabularyText();
QStringList customVocabulary();
QString transcriptionPrompt();
void setSmartMode(SmartMode mode);

// Readers that parse at the place of use, with the documented fallbacks.
std::optional<AIProvider> aiProvider(); // none selects the own backend path
SmartMode smartMode(); // clean when absent or unparsable
TextPolisher::Quality textQuality(); // accurate when absent or unparsable
bool onboardingCompleted();

// Recognition on this computer.
QString defaultLocalModelsURL();
// A catalog name, an absolute path to a ggml file, or empty (the best installed model).
QString localModel();
// The recognition server the settings name, trimmed; empty: recognition on this computer.
QString recognitionServerURL();
QString localModelsURL(); // the default when absent or empty
QString defaultLocalHubURL();
QString localHubURL(); // the default when absent or empty
// "ru" when absent or empty; "auto" lets the engine detect the language.
QString localLanguage();
bool localSpokenPunctuation(); // true when absent
int localModelKeepMinutes(); // 5 when absent or not a positive number

} // namespace AppSettings
