#pragma once

#include <QString>
#include <QStringList>

// What the program was asked to do on its command line.
namespace CommandLine {

enum class Action { run, toggle, selfTest, help, version, error };

struct Request {
    Action action = Action::run;
    // The text to print for help, version and error; empty otherwise.
    QString text;
};

// arguments includes the program's own path at index 0.
Request parse(const QStringList &arguments);

// Prints the request's text (standard output for help and version, standard
// error for an error) and returns the process exit status.
int report(const Request &request);

} // namespace CommandLine
