#pragma once

#include "core/abstractbackendconfiguration.h"

#include <QString>
#include <QUrl>

#include <optional>

// Where the own backend lives and how this installation introduces itself. Every
// value is computed at the moment it is asked for: nothing is cached.
class VorsikAPIConfiguration final : public AbstractBackendConfiguration {
public:
    // The values the build supplies; empty text means "missing".
    struct BuildValues {
        QString baseURL;
        QString shortVersion;
        QString buildNumber;
    };

    // The values compiled into this build (CMake cache variables).
    static BuildValues compiledBuildValues();

    VorsikAPIConfiguration();
    explicit VorsikAPIConfiguration(BuildValues values);

    // The backend's base address when the build names an absolute http(s) URL.
    std::optional<QUrl> baseURL() const;
    bool isConfigured() const override;
    std::optional<QUrl> installationsURL() const;
    std::optional<QUrl> dictationsURL() const;

    // Lower-case UUID made on first use and kept in the settings for good.
    QString deviceID() const;
    // "macOS-<short version>-<build number>", "unknown" standing in for a missing part.
    QString appVersion() const;

private:
    std::optional<QUrl> endpoint(const QString &pathComponent) const;

    BuildValues m_values;
};
