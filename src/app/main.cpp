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
// Empty when this executable's own place is unknown: then nothing is loaded, as a path
// relative to the working directory could load a stranger's library.
QString desktopModulePath()
{
    // The module's place relative to this executable is the same in the build tree and
    // in every installation prefix.
    const QString executable = QFileInfo(u"/proc/self/exe"_s).canonicalFilePath();
    if (executable.isEmpty() || !QDir::isAbsolutePath(executable))
        return {};
    return QDir::cleanPath(QDir(executable.section(u'/', 0, -2)).filePath(QStringLiteral(VERBULO_DESKTOP_MODULE)));
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

    const QString modulePath = desktopModulePath();
    if (modulePath.isEmpty()) {
        std::fputs("verbulo: cannot find where this program is installed (/proc/self/exe is unreadable); "
                   "nothing was started.\n",
            stderr);
        return EXIT_FAILURE;
    }
    QLibrary module(modulePath);
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
