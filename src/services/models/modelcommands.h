#pragma once

#include <QString>

class ModelDownloader;
class ModelStore;

// The command-line options about models. Each prints for a person (the list on standard
// output, progress and errors on standard error) and returns the process's exit code.
// download() needs a QCoreApplication; it runs the event loop until the model is in place.
namespace ModelCommands {

int list(ModelStore &store); // --list-models
int download(ModelDownloader &downloader, const QString &name); // --download-model NAME
int install(ModelStore &store, const QString &file); // --install-model FILE

} // namespace ModelCommands
