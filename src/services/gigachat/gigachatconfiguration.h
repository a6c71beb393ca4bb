#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>

// Where the GigaChat path goes and what it trusts: the two allowed hosts, the
// OAuth and API addresses, the curl executable and the CA certificates. The
// program always uses production(); tests point everything at a loopback server.
struct GigaChatConfiguration {
    QString oauthHost;
    QString apiHost;
    QUrl oauthURL; // the token endpoint
    QUrl apiBaseURL; // scheme, host and port of the REST API; paths are appended
    QString curlPath;
    QByteArray rootCertificateBase64;
    QByteArray subCertificateBase64;

    QStringList allowedHosts() const { return { oauthHost, apiHost }; }

    static GigaChatConfiguration production();
    // The configuration in force: production() unless a test replaced it.
    static GigaChatConfiguration current();
    // Test seam; std::nullopt restores production().
    static void replaceForTesting(std::optional<GigaChatConfiguration> configuration);
};
