#pragma once

#include <QString>
#include <QUrl>

#include <optional>

// Where the OpenAI API (or a compatible gateway) lives. Both endpoints derive from one
// base address so a gateway needs a single setting.
class OpenAIConfiguration {
public:
    // The address compiled into this build (CMake cache variable).
    OpenAIConfiguration();
    explicit OpenAIConfiguration(QString baseURL);

    // The web socket of live transcription: https becomes wss, http becomes ws.
    std::optional<QUrl> realtimeURL() const;
    std::optional<QUrl> responsesURL() const;

private:
    std::optional<QUrl> endpoint(const QString &path) const;

    QString m_baseURL;
};
