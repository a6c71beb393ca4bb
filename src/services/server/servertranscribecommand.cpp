#include "services/server/servertranscribecommand.h"

#include "core/appsettings.h"
#include "services/local/localrecognitionerror.h"
#include "services/local/transcribefilecommand.h"
#include "services/local/wavreader.h"
#include "services/server/serverrecognitionservice.h"
#include "services/server/servertranscriber.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

QCoro::Task<> transcribe(ServerTranscriber &transcriber, const WavAudio &audio)
{
    co_await transcriber.connect({}, AppSettings::transcriptionPrompt(), AppSettings::customVocabulary());
    Resampler resampler(audio.sampleRate);
    transcriber.appendSamples(resampler.process(audio.samples));
    transcriber.appendSamples(resampler.flush());
    co_await transcriber.commit();
}

} // namespace

int transcribeOnServerCommand(
    const QString &wavPath, const QString &serverURL, const QString &model, AbstractKeychain *keychain)
{
    WavAudio audio;
    try {
        QFile file(wavPath);
        if (!file.open(QIODevice::ReadOnly))
            throw LocalRecognitionError(LocalRecognitionErrorCase::audioUnreadable, file.errorString());
        audio = readWav(file.readAll());
    } catch (const DescribedError &error) {
        printLine(stderr, error.description());
        return 1;
    }

    ServerTranscriber::Settings settings { .server = ServerRecognitionService::storedSettings(),
        .spokenPunctuation = AppSettings::localSpokenPunctuation() };
    settings.server.url = QUrl(serverURL);
    settings.server.model = model;
    bool over = false;
    int status = 1;
    RealtimeTranscriberCallbacks callbacks;
    callbacks.onFinal = [&](const QString &text) {
        printLine(stdout, text);
        status = 0;
        over = true;
    };
    callbacks.onError = [&](const QString &message) {
        printLine(stderr, message);
        over = true;
    };
    callbacks.onNotice = [](const QString &message) { printLine(stderr, message); };
    ServerTranscriber transcriber(callbacks, keychain, settings);
    [](ServerTranscriber &transcriber, const WavAudio &audio, bool &over) -> QCoro::Task<> {
        try {
            co_await transcribe(transcriber, audio);
        } catch (const DescribedError &error) {
            printLine(stderr, error.description());
            over = true;
        }
    }(transcriber, audio, over);
    while (!over)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return status;
}
