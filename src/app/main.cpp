#include "app/commandline.h"
#include "app/instancemessages.h"
#include "app/quitonsignals.h"
#include "audio/audiorecorder.h"
#include "audio/pcmbuffercollector.h"
#include "core/appsettings.h"
#include "input/fnkeymonitor.h"
#include "insertion/atspi/accessibilitypermission.h"
#include "insertion/atspi/atspiaccessibilitybackend.h"
#include "insertion/pastepath.h"
#include "insertion/textinserter.h"
#include "platform/gnome/gnomeshortcut.h"
#include "secrets/keychainstore.h"
#include "services/gigachat/gigachatclient.h"
#include "services/gigachat/gigachatselftest.h"
#include "services/local/localrecognitionservice.h"
#include "services/local/processtextcommand.h"
#include "services/local/transcribefilecommand.h"
#include "services/models/modelcommands.h"
#include "services/models/modeldownloader.h"
#include "services/models/modelstore.h"
#include "services/openai/realtimetranscriber.h"
#include "services/openai/textpolisher.h"
#include "services/server/serverrecognitionservice.h"
#include "services/server/servertranscribecommand.h"
#include "services/server/servertranscriber.h"
#include "services/vorsik/vorsikapiclient.h"
#include "services/vorsik/vorsikapiconfiguration.h"
#include "shell/appdelegate.h"
#include "shell/singleinstance.h"
#include "ui/onboardingwindowcontroller.h"
#include "ui/overlaypanelcontroller.h"
#include "ui/settingswindowcontroller.h"
#include "ui/wayland/waylandoverlay.h"

#include <QApplication>
#include <QDBusConnection>
#include <QFileInfo>
#include <QIcon>

#include <QCoro/QCoroTask>

#include <cstdio>
#include <cstdlib>

using namespace Qt::StringLiterals;

namespace {

// The model a dictation on this computer loads now, or why there is none.
ModelChoice chooseLocalModel(const ModelStore &store, const ModelDownloader &downloader)
{
    const ModelStore::Resolved resolved = store.resolve(AppSettings::localModel());
    if (resolved.ok())
        return { resolved.path, {} };
    if (const std::optional<ModelDownloader::Progress> progress = downloader.currentProgress())
        return { {},
            u"Модель «%1» ещё скачивается (%2). Диктовка заработает, как только загрузка закончится."_s.arg(
                progress->name, progress->text()) };
    return { {}, resolved.problem };
}

// The models a server the settings window names lists, asked with the key from the keyring.
QCoro::Task<QStringList> listServerModels(AbstractKeychain *keychain, RecognitionPlaceView::Server server)
{
    RecognitionServerClient::Settings address = ServerRecognitionService::storedSettings();
    address.url = QUrl(server.url);
    address.caFile = server.caFile;
    address.allowUnencrypted = server.allowUnencrypted;
    RecognitionServerClient client(address);
    const std::optional<QString> key = co_await keychain->read(QString::fromLatin1(ServerTranscriber::keyAccount));
    client.setKey(key.value_or(QString()));
    co_return co_await client.models();
}

// The model commands need no display; each makes its own application object.
int runModelCommand(int argc, char *argv[], const CommandLine::Request &request)
{
    QCoreApplication app(argc, argv);
    ModelStore store;
    switch (request.action) {
    case CommandLine::Action::listModels:
        return ModelCommands::list(store);
    case CommandLine::Action::installModel: {
        ModelDownloader downloader(store);
        return ModelCommands::install(downloader, request.argument, request.expert);
    }
    case CommandLine::Action::downloadModel: {
        ModelDownloader downloader(store);
        return ModelCommands::download(downloader, request.argument);
    }
    case CommandLine::Action::transcribe: {
        if (!request.server.isEmpty()) {
            KeychainStore keychain;
            return transcribeOnServerCommand(request.argument, request.server,
                request.serverModel.isEmpty()
                    ? AppSettings::string(AppSettings::Keys::recognitionServerModel).value_or(QString())
                    : request.serverModel,
                &keychain);
        }
        // A file named on the command line is taken from where the user stands.
        QString model = request.model.isEmpty() ? AppSettings::localModel() : request.model;
        if (!request.model.isEmpty() && (model.contains(u'/') || QFileInfo::exists(model)))
            model = QFileInfo(model).absoluteFilePath();
        const ModelStore::Resolved resolved = store.resolve(model);
        if (!resolved.ok()) {
            std::fprintf(stderr, "verbulo: %s\n", resolved.problem.toLocal8Bit().constData());
            return EXIT_FAILURE;
        }
        return transcribeFileCommand(request.argument, resolved.path);
    }
    case CommandLine::Action::processText:
        return processTextCommand(request.mode);
    default:
        return EXIT_FAILURE;
    }
}

} // namespace

// The self-test, the model commands, or the single running instance of the program; help,
// version and errors are answered before anything else is set up. The `verbulo` command
// (launcher.cpp) loads this library and calls it.
extern "C" Q_DECL_EXPORT int verbulo_main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const CommandLine::Request parsed = CommandLine::parse(arguments);
    if (!CommandLine::needsApplication(parsed.action))
        return CommandLine::report(parsed);
    const CommandLine::Action command = parsed.action;
    // Needs no display: it makes its own application object and ends the process.
    if (command == CommandLine::Action::selfTest)
        return GigaChatSelfTest::run(arguments);
    if (command == CommandLine::Action::listModels || command == CommandLine::Action::downloadModel
        || command == CommandLine::Action::installModel || command == CommandLine::Action::transcribe
        || command == CommandLine::Action::processText)
        return runModelCommand(argc, argv, parsed);

    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        std::fputs("verbulo: no graphical display found (DISPLAY and WAYLAND_DISPLAY are unset).\n", stderr);
        return EXIT_FAILURE;
    }

    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QGuiApplication::setDesktopFileName(u"com.plumrest.Vorsik"_s);
    QApplication::setWindowIcon(QIcon(u":/icons/com.plumrest.Vorsik.png"_s));

    SingleInstance instance(QDBusConnection::sessionBus());
    const auto request
        = command == CommandLine::Action::toggle ? SingleInstance::Request::toggle : SingleInstance::Request::reopen;
    switch (QCoro::waitFor(instance.claim(request))) {
    case SingleInstance::Role::primary:
        break;
    case SingleInstance::Role::forwarded:
        return EXIT_SUCCESS;
    case SingleInstance::Role::noBus:
        std::fputs("verbulo: no D-Bus session bus found (DBUS_SESSION_BUS_ADDRESS); start it from a desktop "
                   "session.\n",
            stderr);
        return EXIT_FAILURE;
    case SingleInstance::Role::forwardFailed:
        std::fputs(instanceDidNotAnswer, stderr);
        return EXIT_FAILURE;
    }

    QuitOnSignals quitOnSignals;

    KeychainStore keychain;
    VorsikAPIConfiguration backend;
    AudioRecorder recorder;
    VorsikAPIClient vorsik(backend);
    GigaChatClient gigaChat(120, 3);
    OpenAITextPolisher polisher;
    AccessibilityPermission accessibility;
    // Created early: it follows focus events from here on.
    AtspiAccessibilityBackend accessibilityBackend(accessibility);
    PastePath paste = makePastePath();
    TextInserter inserter(accessibilityBackend, *paste.clipboard, *paste.keystrokes);
    OverlayPanelController overlay;
    overlay.setSurface(makeWaylandOverlaySurface(overlay.panel()));
    // One store and one downloader for the whole program: the windows, the tray and the
    // recognition all see the same downloads. The windows offer models only where there is
    // no own backend to recognise speech.
    ModelStore modelStore;
    ModelDownloader modelDownloader(modelStore);
    ModelDownloader *localModels = backend.isConfigured() ? nullptr : &modelDownloader;
    LocalRecognitionService localRecognition(
        [&modelStore, &modelDownloader] { return chooseLocalModel(modelStore, modelDownloader); });
    // A server the user runs recognises instead where the settings name one.
    ServerRecognitionService serverRecognition(&keychain, [&modelStore, &modelDownloader] {
        return chooseLocalModel(modelStore, modelDownloader).problem.isEmpty()
            ? u"Распознавать на этом компьютере: в настройках, «Где распознавать» — «На этом компьютере»."_s
            : QString();
    });
    RecognitionPlace recognition(&localRecognition, &serverRecognition);
    // The desktop runs this binary, `verbulo`, which passes the toggle on to this instance.
    GnomeShortcut toggleShortcut(QCoreApplication::applicationFilePath());
    OnboardingWindowController onboarding(&accessibility, localModels);
    SettingsWindowController settings(&accessibility, localModels);
    const auto serverModels
        = [&keychain](RecognitionPlaceView::Server server) { return listServerModels(&keychain, std::move(server)); };
    onboarding.setServerModelLister(serverModels);
    settings.setServerModelLister(serverModels);
    onboarding.setToggleShortcut(&toggleShortcut);
    settings.setToggleShortcut(&toggleShortcut);
    if (paste.setRemoteDesktopPaste) {
        settings.offerRemoteDesktopPaste();
        QObject::connect(&settings, &SettingsWindowController::remoteDesktopPasteChanged, &settings,
            [&paste](bool enabled) { paste.setRemoteDesktopPaste(enabled); });
    }

    DictationSessionController::Neighbours neighbours;
    neighbours.keychain = &keychain;
    neighbours.backendConfiguration = &backend;
    neighbours.audioRecorder = &recorder;
    neighbours.makeCollector = [] { return std::make_unique<PCMBufferCollector>(); };
    neighbours.makeTranscriber = [](RealtimeTranscriberCallbacks callbacks) {
        return std::make_unique<RealtimeTranscriber>(std::move(callbacks));
    };
    neighbours.vorsikAPIClient = &vorsik;
    neighbours.gigaChatClient = &gigaChat;
    neighbours.textPolisher = &polisher;
    neighbours.textInserter = &inserter;
    neighbours.overlay = &overlay;
    neighbours.onboardingWindow = &onboarding;
    neighbours.settingsWindow = &settings;
    neighbours.localRecognition = &recognition;

    auto makeFnKeyMonitor
        = [](std::function<void()> onFnPress, std::function<void(const QString &)> onKeyboardUnavailable,
              std::function<void(DictationTrigger)> onTrigger) -> std::unique_ptr<QObject> {
        return FnKeyMonitor::withSystemKeyboards(
            std::move(onFnPress), std::move(onKeyboardUnavailable), std::move(onTrigger));
    };
    AppDelegate delegate(std::move(neighbours), &accessibility, makeFnKeyMonitor);
    delegate.followModelDownloads(&modelDownloader);

    QObject::connect(&instance, &SingleInstance::reopenRequested, &delegate, &AppDelegate::handleReopen);
    QObject::connect(&instance, &SingleInstance::toggleRequested, &delegate, &AppDelegate::handleTogglePress);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate, &AppDelegate::applicationWillTerminate);

    delegate.applicationDidFinishLaunching();
    QApplication::exec();
    return EXIT_SUCCESS;
}
