#include "services/local/transcribefilecommand.h"

#include "core/appsettings.h"
#include "services/local/localrecognitionerror.h"
#include "services/local/pausedetector.h"
#include "services/local/recognitionmodel.h"
#include "services/local/resampler.h"
#include "services/local/transcriptassembler.h"
#include "services/local/wavreader.h"

#include <QFile>

#include <cstdio>

using namespace Qt::StringLiterals;

void printLine(FILE *stream, const QString &text)
{
    const QByteArray bytes = (text + u'\n').toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream);
    std::fflush(stream);
}

int transcribeFileCommand(const QString &wavPath, const QString &modelPath)
{
    try {
        QFile file(wavPath);
        if (!file.open(QIODevice::ReadOnly))
            throw LocalRecognitionError(LocalRecognitionErrorCase::audioUnreadable, file.errorString());
        const WavAudio audio = readWav(file.readAll());

        Resampler resampler(audio.sampleRate);
        PauseDetector detector;
        std::vector<SpeechStretch> stretches = detector.append(resampler.process(audio.samples));
        for (auto &stretch : detector.append(resampler.flush()))
            stretches.push_back(std::move(stretch));
        for (auto &stretch : detector.finish())
            stretches.push_back(std::move(stretch));

        const std::unique_ptr<RecognitionModel> model = RecognitionModel::load(modelPath);
        TranscriptAssembler::Settings settings;
        settings.spokenPunctuation = AppSettings::localSpokenPunctuation();
        TranscriptAssembler transcript(settings);
        const std::atomic_bool never = false;
        for (const SpeechStretch &stretch : stretches) {
            const RecognitionModel::Options options { .language = AppSettings::localLanguage(),
                .prompt = transcript.prompt() };
            transcript.add(model->recognise(stretch.samples, options, never).segments, stretch.pauseBefore);
        }
        printLine(stdout, transcript.text());
        return 0;
    } catch (const DescribedError &error) {
        printLine(stderr, error.description());
        return 1;
    }
}
