#pragma once

#include <QString>

#include <QCoro/QCoroTask>

class ModelDownloader;
class ModelStore;

// The command-line options about models. Each prints for a person (the list on standard
// output, progress and errors on standard error) and returns the process's exit code.
// download() needs a QCoreApplication; it runs the event loop until the model is in place.
namespace ModelCommands {

int list(ModelStore &store); // --list-models
int download(ModelDownloader &downloader, const QString &name); // --download-model NAME
int install(ModelDownloader &downloader, const QString &file, bool expert); // --install-model FILE [--expert]

// What --install-model does: a whisper .bin by its SHA-1; a GGUF of a catalog entry's size by the
// SHA-256 the hub names for it (asked over the network); with `expert` a GGUF of the user's own,
// by its header, under its own name. Returns what to print; throws DescribedError (Russian).
QCoro::Task<QString> installFile(ModelDownloader &downloader, QString file, bool expert);

} // namespace ModelCommands
