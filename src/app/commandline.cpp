#include "commandline.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

using namespace Qt::StringLiterals;

namespace CommandLine {

namespace {

const QString selfTestOption = u"self-test-gigachat"_s;

QString helpText(const QCommandLineParser &parser)
{
    // The parser takes the program name from the application object; it needs no display.
    static int argc = 1;
    static char name[] = "verbulo";
    static char *argv[] = { name, nullptr };
    QCoreApplication application(argc, argv);
    return parser.helpText();
}

} // namespace

Request parse(const QStringList &arguments)
{
    // The self-test reads its own options wherever they stand, so it is decided before the parser.
    if (arguments.indexOf(u"--"_s + selfTestOption, 1) > 0)
        return { Action::selfTest, {} };

    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Ворсик — диктовка в любое приложение: нажмите Fn, говорите, нажмите Fn ещё раз.\n"
        "Vorsik: dictation into any application. Press Fn, speak, press Fn again."_s);
    const QCommandLineOption help({ u"h"_s, u"help"_s }, u"Показать эту справку. Show this help."_s);
    const QCommandLineOption version(
        { u"v"_s, u"version"_s }, u"Показать версию и номер сборки. Show the version and build number."_s);
    const QCommandLineOption toggle(u"toggle"_s,
        u"Начать или закончить диктовку, как нажатие Fn. Start or finish dictation, "
        "like pressing Fn."_s);
    const QCommandLineOption selfTest(selfTestOption,
        u"Проверить путь GigaChat без экрана. Check the GigaChat path, no display "
        "needed; result lines on standard error, exit status 0 or 1."_s);
    const QCommandLineOption keyStdin(u"self-test-key-stdin"_s,
        u"Самопроверка: ключ из стандартного ввода. Self-test: read the key from "
        "standard input instead of the keyring."_s);
    const QCommandLineOption audio(u"self-test-audio"_s,
        u"Самопроверка: распознать этот WAV-файл. Self-test: transcribe this WAV file."_s, u"file"_s);
    const QCommandLineOption model(
        u"self-test-model"_s, u"Самопроверка: модель распознавания. Self-test: the recognition model."_s, u"model"_s);
    parser.addOptions({ help, version, toggle, selfTest, keyStdin, audio, model });

    if (!parser.parse(arguments))
        return { Action::error, parser.errorText() };
    if (!parser.positionalArguments().isEmpty())
        return { Action::error, u"Unexpected argument '%1'."_s.arg(parser.positionalArguments().constFirst()) };
    if (parser.isSet(help))
        return { Action::help, helpText(parser) };
    if (parser.isSet(version))
        return { Action::version,
            u"verbulo %1 (build %2)\n"_s.arg(QStringLiteral(VERBULO_VERSION), QStringLiteral(VERBULO_BUILD_NUMBER)) };
    // The self-test's own options without the self-test have nothing to do.
    for (const auto &option : { keyStdin, audio, model }) {
        if (parser.isSet(option))
            return { Action::error,
                u"'--%1' works only with '--%2'."_s.arg(option.names().constFirst(), selfTestOption) };
    }
    return { parser.isSet(toggle) ? Action::toggle : Action::run, {} };
}

int report(const Request &request)
{
    switch (request.action) {
    case Action::help:
    case Action::version:
        std::fputs(request.text.toLocal8Bit().constData(), stdout);
        return EXIT_SUCCESS;
    case Action::error:
        // One line, whatever bytes the offending argument held.
        std::fprintf(stderr, "verbulo: %s Try 'verbulo --help'.\n",
            QString(request.text).replace(u'\n', u' ').toLocal8Bit().constData());
        return 2;
    case Action::run:
    case Action::toggle:
    case Action::selfTest:
        break;
    }
    return EXIT_SUCCESS;
}

} // namespace CommandLine
