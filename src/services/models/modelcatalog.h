#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// The whisper models the program offers for recognition on this computer. The sizes are
// the ones upstream publishes (rounded to MiB); the SHA-1 is of the whole file.
struct ModelCatalogEntry {
    QString name; // "small"; the file is "ggml-<name>.bin"
    qint64 size = 0; // bytes, approximately
    QByteArray sha1; // 40 lower-case hex digits
    QString description; // Russian: speed and quality in a few words

    QString fileName() const;
};

namespace ModelCatalog {

// The catalog built into the program (the resource :/models/catalog.json).
QList<ModelCatalogEntry> builtIn();
// A catalog from its JSON text (tests supply their own); malformed entries are left out.
QList<ModelCatalogEntry> fromJson(const QByteArray &json);
std::optional<ModelCatalogEntry> find(const QList<ModelCatalogEntry> &catalog, QStringView name);

// What this computer can run at an acceptable speed.
struct MachineFacts {
    int cores = 1;
    bool avx2 = false;
    qint64 memoryBytes = 0;
    static MachineFacts current();
};
// The name of the catalog model to recommend for `facts`, with a Russian sentence why.
struct Recommendation {
    QString name;
    QString reason;
};
Recommendation recommend(const QList<ModelCatalogEntry> &catalog, const MachineFacts &facts);

} // namespace ModelCatalog
