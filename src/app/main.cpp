#include "audiorecorder.h"
#include "dictationsessioncontroller.h"
#include "keychainstore.h"
#include "microphonepermission.h"
#include "pcmbuffercollector.h"
#include "placeholderwindows.h"
#include "unavailableservices.h"
#include "unavailabletextinserter.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        std::fputs("verbulo: no graphical display found (DISPLAY and WAYLAND_DISPLAY are unset).\n", stderr);
        return EXIT_FAILURE;
    }

    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    KeychainStore keychain;
    UnconfiguredBackend backend;
    MicrophonePermission microphone;
    AudioRecorder recorder;
    UnavailableVorsikAPIClient vorsik;
    UnavailableGigaChatClient gigaChat;
    UnavailableTextPolisher polisher;
    UnavailableTextInserter inserter;
    PlaceholderOverlay overlay;
    PlaceholderOnboardingWindow onboarding;
    PlaceholderSettingsWindow settings;

    DictationSessionController::Neighbours neighbours;
    neighbours.keychain = &keychain;
    neighbours.backendConfiguration = &backend;
    neighbours.microphonePermission = &microphone;
    neighbours.audioRecorder = &recorder;
    neighbours.makeCollector = [] { return std::make_unique<PCMBufferCollector>(); };
    neighbours.makeTranscriber = [](RealtimeTranscriberCallbacks) {
        return std::make_unique<UnavailableRealtimeTranscriber>();
    };
    neighbours.vorsikAPIClient = &vorsik;
    neighbours.gigaChatClient = &gigaChat;
    neighbours.textPolisher = &polisher;
    neighbours.textInserter = &inserter;
    neighbours.overlay = &overlay;
    neighbours.onboardingWindow = &onboarding;
    neighbours.settingsWindow = &settings;
    DictationSessionController controller(std::move(neighbours));

    const int status = app.exec();
    controller.prepareForTermination();
    return status;
}
