#include "whispermodel.h"

#include "localrecognitionerror.h"
#include "logging.h"

#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <whisper.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <new>
#include <type_traits>

using namespace Qt::StringLiterals;

namespace {

// Beyond the file itself the model needs its work buffers (the KV caches and the
// encoder's and decoder's scratch memory): a few hundred MB for the larger models.
constexpr qint64 workingMemory = 300LL * 1024 * 1024;

// Engine messages are about the engine (sizes, buffers), never about the recognised
// text; only its warnings and errors are worth a line in our log.
void forwardEngineLog(ggml_log_level level, const char *text, void *)
{
    if (level == GGML_LOG_LEVEL_WARN || level == GGML_LOG_LEVEL_ERROR)
        qCWarning(lcServices) << "whisper:" << QByteArrayView(text).trimmed();
}

// Over the segment's text tokens: end-of-text, timestamps and the other control tokens are
// numbered from end-of-text on.
float meanWordProbability(whisper_context *context, int segment)
{
    const whisper_token firstSpecial = whisper_token_eot(context);
    float sum = 0.0f;
    int words = 0;
    for (int i = 0; i < whisper_full_n_tokens(context, segment); ++i) {
        if (whisper_full_get_token_id(context, segment, i) >= firstSpecial)
            continue;
        sum += whisper_full_get_token_p(context, segment, i);
        ++words;
    }
    return words > 0 ? sum / float(words) : 1.0f;
}

std::optional<qint64> availableMemory()
{
    QFile meminfo(u"/proc/meminfo"_s);
    if (!meminfo.open(QIODevice::ReadOnly))
        return std::nullopt;
    for (const QByteArray &line : meminfo.readAll().split('\n')) {
        if (!line.startsWith("MemAvailable:"))
            continue;
        bool ok = false;
        const qint64 kib = line.mid(13).trimmed().split(' ').value(0).toLongLong(&ok);
        return ok ? std::optional(kib * 1024) : std::nullopt;
    }
    return std::nullopt;
}

// whisper reads past the end of a cut file without noticing and takes a file that ends
// after its vocabulary for an empty test model: the header and vocabulary are checked here.
bool wholeHeader(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const auto readInt = [&file](qint32 &value) { return file.read(reinterpret_cast<char *>(&value), 4) == 4; };
    qint32 magic = 0;
    qint32 hparams[11] {};
    if (!readInt(magic) || magic != 0x67676d6c)
        return false;
    for (qint32 &value : hparams) {
        if (!readInt(value))
            return false;
    }
    qint32 mels = 0;
    qint32 fft = 0;
    if (!readInt(mels) || !readInt(fft) || mels < 0 || fft < 0 || !file.seek(file.pos() + qint64(mels) * fft * 4))
        return false;
    qint32 words = 0;
    if (!readInt(words) || words < 0)
        return false;
    for (qint32 word = 0; word < words; ++word) {
        qint32 length = 0;
        if (!readInt(length) || length < 0 || !file.seek(file.pos() + length))
            return false;
    }
    return file.pos() <= file.size();
}

QString mebibytes(qint64 bytes) { return u"%1 МБ"_s.arg(bytes / (1024 * 1024)); }

} // namespace

void WhisperModel::Free::operator()(whisper_context *context) const { whisper_free(context); }

WhisperModel::WhisperModel(whisper_context *context)
    : m_context(context)
{
}

WhisperModel::~WhisperModel() = default;

std::unique_ptr<WhisperModel> WhisperModel::load(const QString &path)
{
    static std::once_flag logOnce;
    std::call_once(logOnce, [] { whisper_log_set(forwardEngineLog, nullptr); });

    const QFileInfo file(path);
    if (!file.isFile())
        throw LocalRecognitionError(LocalRecognitionErrorCase::modelMissing, path);
    if (const std::optional<qint64> available = availableMemory();
        available && *available < file.size() + workingMemory)
        throw LocalRecognitionError(LocalRecognitionErrorCase::notEnoughMemory,
            u"нужно около %1, свободно %2"_s.arg(mebibytes(file.size() + workingMemory), mebibytes(*available)));
    if (!wholeHeader(path))
        throw LocalRecognitionError(LocalRecognitionErrorCase::modelUnreadable, path);
    if (!loadEngineBackends())
        throw LocalRecognitionError(LocalRecognitionErrorCase::engineMissing);

    whisper_context_params params = whisper_context_default_params();
    params.use_gpu = false;
    whisper_context *context = nullptr;
    try {
        context = whisper_init_from_file_with_params(QFile::encodeName(path).constData(), params);
    } catch (const std::bad_alloc &) {
        throw LocalRecognitionError(LocalRecognitionErrorCase::notEnoughMemory,
            u"нужно около %1"_s.arg(mebibytes(file.size() + workingMemory)));
    }
    if (!context)
        throw LocalRecognitionError(LocalRecognitionErrorCase::modelUnreadable, path);
    return std::unique_ptr<WhisperModel>(new WhisperModel(context));
}

int WhisperModel::audioContextFor(std::size_t sampleCount)
{
    constexpr int fullWindow = 1500;
    constexpr int framesPerSecond = 50;
    constexpr int step = 64;
    const auto frames = int(std::ceil(double(sampleCount) * framesPerSecond / sampleRate)) + framesPerSecond;
    return std::min(fullWindow, (frames + step - 1) / step * step);
}

int WhisperModel::defaultThreadCount() { return std::clamp(QThread::idealThreadCount(), 1, 8); }

WhisperRecognition WhisperModel::recognise(
    std::span<const float> samples, const Options &options, const std::atomic_bool &cancel)
{
    if (samples.empty() || cancel)
        return {};
    WhisperRecognition recognition;
    whisper_full_params params = whisper_full_default_params(WHISPER_SAMPLING_GREEDY);
    const QByteArray language = options.language.toUtf8();
    params.n_threads = std::max(1, options.threads);
    params.language = language.isEmpty() ? "ru" : language.constData();
    params.detect_language = false; // "auto" as the language already detects; this flag only reports
    params.translate = false;
    params.no_timestamps = false;
    params.suppress_blank = true;
    params.print_progress = false;
    params.print_realtime = false;
    params.print_timestamps = false;
    params.print_special = false;
    // whisper reads the last half of its text context of a prompt, less one marker token:
    // fitted here so that the vocabulary at the prompt's start is never the part cut off.
    const int budget = whisper_n_text_ctx(m_context.get()) / 2 - 1;
    FittedPrompt prompt = PromptBudget::fit(options.prompt, budget, [this](const QString &text) {
        const QByteArray utf8 = text.toUtf8();
        static_assert(std::is_same_v<whisper_token, int>);
        std::vector<int> tokens(std::size_t(utf8.size()) + 1); // never more tokens than bytes
        const int count = whisper_tokenize(m_context.get(), utf8.constData(), tokens.data(), int(tokens.size()));
        tokens.resize(std::size_t(std::max(0, count)));
        return tokens;
    });
    recognition.vocabularyLeftOut = std::move(prompt.vocabularyLeftOut);
    params.prompt_tokens = prompt.tokens.empty() ? nullptr : prompt.tokens.data();
    params.prompt_n_tokens = int(prompt.tokens.size());
    params.audio_ctx = options.shortAudioContext ? audioContextFor(samples.size()) : 0;
    const auto aborted = [](void *flag) { return static_cast<const std::atomic_bool *>(flag)->load(); };
    params.abort_callback = aborted;
    params.abort_callback_user_data = const_cast<std::atomic_bool *>(&cancel);
    // The encoder has its own check of the same flag, between its computations.
    params.encoder_begin_callback = [](whisper_context *, whisper_state *, void *flag) {
        return !static_cast<const std::atomic_bool *>(flag)->load();
    };
    params.encoder_begin_callback_user_data = params.abort_callback_user_data;

    int status = 0;
    try {
        status = whisper_full(m_context.get(), params, samples.data(), int(samples.size()));
    } catch (const std::bad_alloc &) {
        throw LocalRecognitionError(LocalRecognitionErrorCase::notEnoughMemory, u"распознавание"_s);
    }
    if (cancel)
        return {};
    if (status != 0) {
        qCWarning(lcServices) << "whisper: recognition failed with status" << status;
        throw LocalRecognitionError(LocalRecognitionErrorCase::recognitionFailed);
    }
    whisper_context *context = m_context.get();
    const int count = whisper_full_n_segments(context);
    for (int i = 0; i < count; ++i) {
        // Segment times are in hundredths of a second.
        recognition.segments.push_back({ QString::fromUtf8(whisper_full_get_segment_text(context, i)).trimmed(),
            std::chrono::milliseconds(whisper_full_get_segment_t0(context, i) * 10),
            std::chrono::milliseconds(whisper_full_get_segment_t1(context, i) * 10),
            whisper_full_get_segment_no_speech_prob(context, i), meanWordProbability(context, i) });
    }
    return recognition;
}
