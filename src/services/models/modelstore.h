#pragma once

#include "services/models/modelcatalog.h"

#include <QHash>
#include <QList>
#include <QString>

#include <functional>

// The models on this computer: one file per catalog entry under one directory
// ($XDG_DATA_HOME/plumrest/Vorsik/models), partial downloads beside them as "<file>.part"
// (a GGUF's with the hub's digest in "<file>.part.sha256"). A catalog file is only ever placed
// there after its SHA-1 (whisper) or the hub's SHA-256 (GGUF) matched; GGUF files of the
// user's own, installed as an expert, sit beside them under their own names.
class ModelStore {
public:
    explicit ModelStore(
        QString directory = defaultDirectory(), QList<ModelCatalogEntry> catalog = ModelCatalog::builtIn());

    static QString defaultDirectory();

    const QString &directory() const { return m_directory; }
    const QList<ModelCatalogEntry> &catalog() const { return m_catalog; }
    std::optional<ModelCatalogEntry> entry(QStringView name) const { return ModelCatalog::find(m_catalog, name); }

    QString pathOf(const ModelCatalogEntry &entry) const;
    QString partialPathOf(const ModelCatalogEntry &entry) const;
    bool isInstalled(QStringView name) const;
    QStringList installedNames() const; // in catalog order
    // Bytes of a partial download kept for resuming; 0 when there is none.
    qint64 partialSize(QStringView name) const;

    // Deletes an installed model and its partial download; false when nothing was there
    // or it could not be deleted.
    bool remove(QStringView name);

    // The model file a dictation would load for the "localModel" setting: a catalog name,
    // an absolute path to a ggml file, or empty (the largest installed model that the
    // recommendation allows, else any installed one). `problem` is a Russian sentence
    // saying what to do when there is no file.
    struct Resolved {
        QString path {};
        QString name {}; // the catalog name, or the file name for a path
        std::optional<ModelFamily> family {}; // a catalog model's; none for a path (the file tells)
        QString problem {};
        bool ok() const { return problem.isEmpty(); }
    };
    Resolved resolve(const QString &setting) const;

    // For a user whose dictation runs on a whisper model (by `setting`, as resolve() reads it)
    // while a model made for `language` is recommended and not on this computer: that model.
    std::optional<ModelCatalogEntry> betterModel(
        const QString &setting, QStringView language, const ModelCatalog::MachineFacts &facts) const;

    // Copies a model file the user got elsewhere into place; accepted only when its SHA-1
    // matches a whisper entry, or its size a GGUF entry's and its SHA-256 what `hubDigests`
    // holds for that entry's name. Blocking (reads the whole file). Returns the entry's
    // name; throws DescribedError with a Russian message otherwise.
    QString installFromFile(const QString &file, const QHash<QString, QByteArray> &hubDigests = {}) const;
    // Copies a GGUF file that is no catalog model under its own name, after checking its
    // header (ModelFiles::ggufProblem). Returns the installed path; throws DescribedError.
    QString installOwnFile(const QString &file) const;
    // The absolute paths of such files, by name.
    QStringList ownFiles() const;

private:
    // Copies `file` to a temporary beside the models, hashing it; `accept` gets the digests
    // (SHA-1, SHA-256) and returns the target path or throws. Returns the target.
    QString copyIn(const QString &file,
        const std::function<QString(const QByteArray &sha1, const QByteArray &sha256)> &accept) const;

    QString m_directory;
    QList<ModelCatalogEntry> m_catalog;
};
