#pragma once

#include <QString>
#include <QStringList>

// What the program was asked to do on its command line.
namespace CommandLine {

enum class Action {
    run,
    toggle,
    selfTest,
    help,
    version,
    error,
    // Recognition on this computer, without a display.
    listModels,
    downloadModel,
    installModel,
    transcribe,
    processText,
};

struct Request {
    Action action = Action::run;
    // The text to print for help, version and error; empty otherwise.
    QString text;
    // The model name, model file or WAV file the action works on.
    QString argument {};
    // --transcribe: the model to use (a catalog name or a file); empty for the settings' choice.
    QString model {};
    // --process-text: the editing mode as given; empty for the settings' choice.
    QString mode {};
    // --install-model with --expert: a GGUF file of the user's own, checked by its header only.
    bool expert = false;
    // --transcribe --server: the server's address and model; empty to recognise on this computer.
    QString server {};
    QString serverModel {};
};

// Actions that need the program itself; help, version and errors are answered by report().
bool needsApplication(Action action);

// arguments includes the program's own path at index 0.
Request parse(const QStringList &arguments);

// Prints the request's text (standard output for help and version, standard
// error for an error) and returns the process exit status.
int report(const Request &request);

} // namespace CommandLine
