#include "app/commandline.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <optional>

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
    const QCommandLineOption listModels(u"list-models"_s,
        u"Показать модели распознавания на этом компьютере. List the speech recognition models: "
        "installed or not, size, the one recommended for this computer."_s);
    const QCommandLineOption downloadModel(u"download-model"_s,
        u"Скачать модель (прогресс — в стандартный поток ошибок). Download a model and verify it; "
        "progress on standard error; exit status 0 only when it is installed."_s,
        u"name"_s);
    const QCommandLineOption installModel(u"install-model"_s,
        u"Установить файл модели, полученный иначе. Install a model file obtained elsewhere; "
        "accepted only when it matches a catalog model (a GGUF by the checksum the model hub gives for it)."_s,
        u"file"_s);
    const QCommandLineOption expert(u"expert"_s,
        u"Для --install-model: установить свой файл GGUF под его именем. With --install-model: install a GGUF "
        "file that is no catalog model under its own name, checked by its header only."_s);
    const QCommandLineOption transcribe(u"transcribe"_s,
        u"Распознать WAV-файл на этом компьютере. Recognise a PCM WAV file on this computer "
        "and print the text on standard output."_s,
        u"file"_s);
    const QCommandLineOption transcribeModel(u"model"_s,
        u"Для --transcribe: модель (имя из каталога или путь к файлу GGUF или .bin). With --transcribe: the "
        "model, a catalog name or the path of a model file, GGUF or whisper.cpp .bin (default: the one chosen in the settings)."_s,
        u"name|path"_s);
    const QCommandLineOption server(u"server"_s,
        u"Для --transcribe: распознать на сервере (OpenAI-совместимый API). With --transcribe: recognise on "
        "this server through the OpenAI-compatible transcription API, e.g. https://gpu.office:8000."_s,
        u"url"_s);
    const QCommandLineOption serverModel(u"server-model"_s,
        u"Для --server: модель сервера. With --server: the model the server is to use (default: the "
        "settings' one, else the first the server lists)."_s,
        u"name"_s);
    const QCommandLineOption processText(u"process-text"_s,
        u"Обработать распознанный текст со стандартного ввода, как диктовку на этом компьютере. Edit "
        "recognised text from standard input, one segment per line, as a dictation on this computer does."_s);
    const QCommandLineOption mode(u"mode"_s,
        u"Для --process-text: режим редактирования. With --process-text: the editing mode (default: the "
        "one chosen in the settings)."_s,
        u"verbatim|clean|structured"_s);
    parser.addOptions({ help, version, toggle, selfTest, keyStdin, audio, model, listModels, downloadModel,
        installModel, expert, transcribe, transcribeModel, server, serverModel, processText, mode });

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
    if (parser.isSet(transcribeModel) && !parser.isSet(transcribe))
        return { Action::error, u"'--model' works only with '--transcribe'."_s };
    if (parser.isSet(expert) && !parser.isSet(installModel))
        return { Action::error, u"'--expert' works only with '--install-model'."_s };
    if (parser.isSet(server) && !parser.isSet(transcribe))
        return { Action::error, u"'--server' works only with '--transcribe'."_s };
    if (parser.isSet(serverModel) && !parser.isSet(server))
        return { Action::error, u"'--server-model' works only with '--server'."_s };
    if (parser.isSet(server) && parser.isSet(transcribeModel))
        return { Action::error, u"'--model' names a model on this computer: use '--server-model' with '--server'."_s };
    if (parser.isSet(server) && parser.value(server).isEmpty())
        return { Action::error, u"'--server' needs a non-empty value."_s };
    if (parser.isSet(mode) && !parser.isSet(processText))
        return { Action::error, u"'--mode' works only with '--process-text'."_s };
    if (parser.isSet(mode) && parser.value(mode).isEmpty())
        return { Action::error, u"'--mode' needs a non-empty value."_s };
    // One model action at a time: which one was meant is not for the program to guess.
    const std::pair<const QCommandLineOption &, Action> modelActions[] = { { listModels, Action::listModels },
        { downloadModel, Action::downloadModel }, { installModel, Action::installModel },
        { transcribe, Action::transcribe }, { processText, Action::processText } };
    std::optional<Request> chosen;
    for (const auto &[option, action] : modelActions) {
        if (!parser.isSet(option))
            continue;
        const QString name = option.names().constFirst();
        if (chosen)
            return { Action::error, u"'--%1' cannot be combined with another model option."_s.arg(name) };
        const bool takesValue = !option.valueName().isEmpty();
        chosen = Request { action, {}, takesValue ? parser.value(option) : QString(), parser.value(transcribeModel),
            parser.value(mode), parser.isSet(expert), parser.value(server), parser.value(serverModel) };
        if (takesValue && chosen->argument.isEmpty())
            return { Action::error, u"'--%1' needs a non-empty value."_s.arg(name) };
    }
    if (chosen)
        return *chosen;
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
    case Action::listModels:
    case Action::downloadModel:
    case Action::installModel:
    case Action::transcribe:
    case Action::processText:
        break;
    }
    return EXIT_SUCCESS;
}

bool needsApplication(Action action)
{
    switch (action) {
    case Action::help:
    case Action::version:
    case Action::error:
        return false;
    default:
        return true;
    }
}

} // namespace CommandLine
