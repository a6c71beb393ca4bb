#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>

// Which recognition engine family a model belongs to; the engine picks its loader by it.
enum class ModelFamily { whisper, gigaam, parakeet };

// A model the program offers for recognition on this computer. Two kinds:
// - whisper.cpp's ".bin" files, fetched from "<localModelsURL>/ggml-<name>.bin", with the size
//   upstream publishes (rounded to MiB) and the SHA-1 of the whole file pinned here;
// - GGUF files from the model hub, fetched from "<localHubURL>/<hubPath>". Upstream publishes
//   their sizes in decimal megabytes and no checksum, so the catalog holds the size to the
//   megabyte and the downloader takes the file's SHA-256 (and exact size) from the hub.
struct ModelCatalogEntry {
    QString name; // stable: the "localModel" setting stores it
    ModelFamily family = ModelFamily::whisper;
    qint64 size = 0; // bytes; approximate, see sizeMatches()
    QByteArray sha1 {}; // whisper .bin: 40 lower-case hex digits; empty for GGUF
    QString hubPath {}; // GGUF: "<owner>/<repo>/resolve/main/<file>.gguf"; empty for whisper
    QStringList languages {}; // ISO 639-1 codes it recognises; empty: all (whisper)
    QString description {}; // Russian: what it is good for, in the user's words

    // The file's name in the store: "ggml-<name>.bin" or the hub's own file name.
    QString fileName() const;
    bool isGguf() const { return !hubPath.isEmpty(); }
    // Whether a file of `bytes` can be this model, given how precisely its size is published.
    bool sizeMatches(qint64 bytes) const;
    // The most bytes a download of it may take.
    qint64 maximumSize() const;
    // Whether it recognises speech in `language` ("ru"; "auto" only the all-language ones do).
    bool recognises(QStringView language) const;
};

namespace ModelCatalog {

// The catalog built into the program (the resource :/models/catalog.json).
QList<ModelCatalogEntry> builtIn();
// A catalog from its JSON text (tests supply their own); malformed entries are left out.
QList<ModelCatalogEntry> fromJson(const QByteArray &json);
std::optional<ModelCatalogEntry> find(const QList<ModelCatalogEntry> &catalog, QStringView name);
// Where the entry downloads from, by the settings "localModelsURL" and "localHubURL".
QUrl sourceOf(const ModelCatalogEntry &entry);
// The family's name as the catalog and the commands spell it: "whisper", "gigaam", "parakeet".
QString familyName(ModelFamily family);

// What this computer can run at an acceptable speed.
struct MachineFacts {
    int cores = 1;
    bool avx2 = false;
    qint64 memoryBytes = 0;
    static MachineFacts current();
};
// The name of the catalog model to recommend for speech in `language` (the "localLanguage"
// setting: a code or "auto") on a machine like `facts`, with a Russian sentence why.
struct Recommendation {
    QString name;
    QString reason;
    // A stronger computer would be recommended a better model: a server may serve the user better.
    bool limitedByMachine = false;
};
Recommendation recommend(const QList<ModelCatalogEntry> &catalog, const MachineFacts &facts, QStringView language);

} // namespace ModelCatalog
