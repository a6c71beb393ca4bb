#include "commandline.h"

#include <QDir>
#include <QFileInfo>
#include <QLibrary>

#include <cstdio>
#include <cstdlib>

using namespace Qt::StringLiterals;

namespace {

// The desktop program lives in a module of its own, so that help, version and a
// mistyped option answer without loading the graphical and audio libraries.
QString desktopModulePath()
{
    // The module's place relative to this executable is the same in the build tree and
    // in every installation prefix.
    const QString executableDirectory = QFileInfo(u"/proc/self/exe"_s).canonicalFilePath().section(u'/', 0, -2);
    return QDir(executableDirectory).filePath(QStringLiteral(VERBULO_DESKTOP_MODULE));
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));

    const CommandLine::Request command = CommandLine::parse(arguments);
    if (!CommandLine::needsDesktopModule(command.action))
        return CommandLine::report(command);

    QLibrary module(desktopModulePath());
    // Global, so that type information is shared with the Qt plugins the program loads later.
    module.setLoadHints(QLibrary::ExportExternalSymbolsHint);
    using DesktopMain = int (*)(int, char **, int);
    const auto desktopMain = reinterpret_cast<DesktopMain>(module.resolve("verbuloDesktopMain"));
    if (!desktopMain) {
        std::fprintf(stderr, "verbulo: the program is incomplete: %s\n", qPrintable(module.errorString()));
        return EXIT_FAILURE;
    }
    return desktopMain(argc, argv, static_cast<int>(command.action));
}
