#include "services/local/processtextcommand.h"

#include "core/appsettings.h"
#include "services/local/localcleanup.h"
#include "services/local/transcriptassembler.h"

#include <QFile>

#include <cstdio>

using namespace Qt::StringLiterals;

int processTextCommand(const QString &modeName)
{
    const std::optional<SmartMode> mode = modeName.isEmpty() ? AppSettings::smartMode() : parseSmartMode(modeName);
    if (!mode) {
        const QString message = u"verbulo: нет режима «%1»: укажите verbatim, clean или structured.\n"_s.arg(modeName);
        std::fputs(message.toLocal8Bit().constData(), stderr);
        return 2;
    }
    TranscriptAssembler transcript({ .spokenPunctuation = AppSettings::localSpokenPunctuation(),
        .paragraphsAtPauses = *mode == SmartMode::structured,
        .vocabulary = AppSettings::customVocabulary(),
        .context = AppSettings::transcriptionPrompt() });

    QFile input;
    if (!input.open(stdin, QIODevice::ReadOnly))
        return 1;
    QStringList lines = QString::fromUtf8(input.readAll()).split(u'\n');
    if (lines.constLast().isEmpty())
        lines.removeLast(); // the end of the last line, not an empty line
    std::vector<RecognisedSegment> stretch;
    std::chrono::milliseconds pause { 0 };
    for (const QString &line : std::as_const(lines)) {
        if (!line.trimmed().isEmpty()) {
            stretch.push_back({ line, {}, {} });
            continue;
        }
        if (!stretch.empty())
            transcript.add(std::exchange(stretch, {}), pause);
        pause = TranscriptAssembler::Settings {}.paragraphPause;
    }
    // What an empty line at the end leaves: a stretch in which nothing was heard.
    if (!stretch.empty() || pause.count() > 0)
        transcript.add(stretch, pause);

    const QByteArray text = (LocalCleanup::apply(transcript.text(), *mode) + u'\n').toUtf8();
    std::fwrite(text.constData(), 1, std::size_t(text.size()), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
