#include "services/local/recognitionmodel.h"

#include "core/logging.h"
#include "services/local/localrecognitionerror.h"

#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <transcribe.h>
#include <transcribe/whisper.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <mutex>

using namespace Qt::StringLiterals;

namespace {

// Beyond the file itself the model needs its work buffers (the encoder's activations and the
// decoder's caches): a few hundred MB for the larger models.
constexpr qint64 workingMemory = 300LL * 1024 * 1024;

// Engine messages are about the engine (sizes, buffers), never about the recognised text;
// only its warnings and errors are worth a line in our log. Called on the engine's threads.
void forwardEngineLog(transcribe_log_level level, const char *text, void *)
{
    if (level == TRANSCRIBE_LOG_LEVEL_WARN || level == TRANSCRIBE_LOG_LEVEL_ERROR)
        qCWarning(lcServices) << "engine:" << QByteArrayView(text).trimmed();
}

void setUpEngine()
{
    static std::once_flag once;
    std::call_once(once, [] { transcribe_log_set(forwardEngineLog, nullptr); });
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

QString mebibytes(qint64 bytes) { return u"%1 МБ"_s.arg(bytes / (1024 * 1024)); }

QString statusText(transcribe_status status) { return QString::fromUtf8(transcribe_status_string(status)); }

std::vector<int32_t> tokenize(const transcribe_model *model, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    std::vector<int32_t> tokens(std::size_t(utf8.size()) + 1); // never more tokens than bytes
    const int count = transcribe_tokenize(model, utf8.constData(), tokens.data(), tokens.size());
    tokens.resize(std::size_t(std::max(0, count)));
    return tokens;
}

// Whisper judges speech per 30-s window; a segment takes the judgement of the window it
// starts in.
void applyWindowJudgement(transcribe_session *session, RecognisedSegment &segment)
{
    for (int i = 0; i < transcribe_get_whisper_chunk_count(session); ++i) {
        transcribe_whisper_chunk_trace trace;
        transcribe_whisper_chunk_trace_init(&trace);
        if (transcribe_get_whisper_chunk_trace(session, i, &trace) != TRANSCRIBE_OK)
            continue;
        if (segment.start.count() < trace.t0_ms || segment.start.count() >= std::max(trace.t1_ms, trace.t0_ms + 1))
            continue;
        segment.noSpeechProbability = trace.no_speech_prob;
        segment.averageTokenProbability = std::exp(trace.avg_logprob);
        return;
    }
}

} // namespace

void RecognitionModel::Free::operator()(transcribe_model *model) const { transcribe_model_free(model); }
void RecognitionModel::Free::operator()(transcribe_session *session) const { transcribe_session_free(session); }

RecognitionModel::RecognitionModel(transcribe_model *model)
    : m_model(model)
{
    transcribe_capabilities capabilities;
    transcribe_capabilities_init(&capabilities);
    if (transcribe_model_get_capabilities(model, &capabilities) == TRANSCRIBE_OK && capabilities.max_audio_ms > 0)
        m_longestCall = std::chrono::milliseconds(capabilities.max_audio_ms);
}

RecognitionModel::~RecognitionModel()
{
    // The session borrows the model: it goes first.
    m_session.reset();
}

std::unique_ptr<RecognitionModel> RecognitionModel::load(const QString &path)
{
    setUpEngine();
    const QFileInfo file(path);
    if (!file.isFile())
        throw LocalRecognitionError(LocalRecognitionErrorCase::modelMissing, path);
    if (const std::optional<qint64> available = availableMemory();
        available && *available < file.size() + workingMemory)
        throw LocalRecognitionError(LocalRecognitionErrorCase::notEnoughMemory,
            u"нужно около %1, свободно %2"_s.arg(mebibytes(file.size() + workingMemory), mebibytes(*available)));
    if (!loadEngineBackends())
        throw LocalRecognitionError(LocalRecognitionErrorCase::engineMissing);

    transcribe_model_load_params params;
    transcribe_model_load_params_init(&params);
    params.backend = TRANSCRIBE_BACKEND_CPU;
    transcribe_model *model = nullptr;
    const transcribe_status status = transcribe_model_load_file(QFile::encodeName(path).constData(), &params, &model);
    switch (status) {
    case TRANSCRIBE_OK:
        break;
    case TRANSCRIBE_ERR_FILE_NOT_FOUND:
        throw LocalRecognitionError(LocalRecognitionErrorCase::modelMissing, path);
    case TRANSCRIBE_ERR_UNSUPPORTED_ARCH:
    case TRANSCRIBE_ERR_UNSUPPORTED_VARIANT:
        throw LocalRecognitionError(LocalRecognitionErrorCase::modelUnsupported, path);
    case TRANSCRIBE_ERR_OOM:
        throw LocalRecognitionError(LocalRecognitionErrorCase::notEnoughMemory,
            u"нужно около %1"_s.arg(mebibytes(file.size() + workingMemory)));
    case TRANSCRIBE_ERR_BACKEND:
        throw LocalRecognitionError(LocalRecognitionErrorCase::engineMissing);
    default:
        qCWarning(lcServices) << "engine: the model did not load:" << statusText(status);
        throw LocalRecognitionError(LocalRecognitionErrorCase::modelUnreadable, path);
    }
    auto loaded = std::unique_ptr<RecognitionModel>(new RecognitionModel(model));
    qCDebug(lcServices) << "engine: loaded" << loaded->family() << "model, longest call"
                        << (loaded->m_longestCall ? loaded->m_longestCall->count() : 0) << "ms";
    return loaded;
}

QString RecognitionModel::family() const { return QString::fromUtf8(transcribe_model_arch_string(m_model.get())); }

int RecognitionModel::defaultThreadCount() { return std::clamp(QThread::idealThreadCount(), 1, 8); }

transcribe_session *RecognitionModel::session(int threads)
{
    threads = std::max(1, threads);
    if (m_session && m_sessionThreads == threads)
        return m_session.get();
    m_session.reset();
    transcribe_session_params params;
    transcribe_session_params_init(&params);
    params.n_threads = threads;
    transcribe_session *created = nullptr;
    const transcribe_status status = transcribe_session_init(m_model.get(), &params, &created);
    if (status == TRANSCRIBE_ERR_OOM)
        throw LocalRecognitionError(LocalRecognitionErrorCase::notEnoughMemory, u"распознавание"_s);
    if (status != TRANSCRIBE_OK) {
        qCWarning(lcServices) << "engine: no session:" << statusText(status);
        throw LocalRecognitionError(LocalRecognitionErrorCase::recognitionFailed);
    }
    m_session.reset(created);
    m_sessionThreads = threads;
    return created;
}

Recognition RecognitionModel::recognise(
    std::span<const float> samples, const Options &options, const std::atomic_bool &cancel)
{
    const std::size_t longest
        = m_longestCall ? std::size_t(m_longestCall->count()) * sampleRate / 1000 : samples.size();
    if (samples.size() <= longest || longest == 0)
        return recogniseOnce(samples, options, cancel);
    // The callers cut at pauses below the limit; this keeps any other input from reaching the
    // model beyond what it was trained on. Equal pieces, so none is a sliver.
    const std::size_t pieces = (samples.size() + longest - 1) / longest;
    const std::size_t pieceLength = (samples.size() + pieces - 1) / pieces;
    Recognition whole;
    for (std::size_t offset = 0; offset < samples.size() && !cancel; offset += pieceLength) {
        Recognition piece
            = recogniseOnce(samples.subspan(offset, std::min(pieceLength, samples.size() - offset)), options, cancel);
        const auto shift = std::chrono::milliseconds(offset * 1000 / sampleRate);
        for (RecognisedSegment &segment : piece.segments) {
            segment.start += shift;
            segment.end += shift;
            whole.segments.push_back(std::move(segment));
        }
        if (whole.vocabularyLeftOut.isEmpty())
            whole.vocabularyLeftOut = piece.vocabularyLeftOut;
    }
    return cancel ? Recognition {} : whole;
}

Recognition RecognitionModel::recogniseOnce(
    std::span<const float> samples, const Options &options, const std::atomic_bool &cancel)
{
    if (samples.empty() || cancel)
        return {};
    transcribe_session *run = session(options.threads);
    Recognition recognition;
    transcribe_run_params params;
    transcribe_run_params_init(&params);
    const QByteArray language = options.language.isEmpty() ? QByteArrayLiteral("ru") : options.language.toUtf8();
    params.language = language == "auto" ? nullptr : language.constData(); // nullptr: the model detects it
    params.task = TRANSCRIBE_TASK_TRANSCRIBE;

    // Only whisper reads a prompt. It reads the last half of its text context less one marker
    // token: fitted here so that the vocabulary at the prompt's start is never the part cut off.
    transcribe_whisper_run_ext whisper;
    transcribe_whisper_run_ext_init(&whisper);
    FittedPrompt prompt;
    if (transcribe_model_supports(m_model.get(), TRANSCRIBE_FEATURE_INITIAL_PROMPT)) {
        prompt = PromptBudget::fit(options.prompt, whisper.max_prev_context_tokens,
            [this](const QString &text) { return tokenize(m_model.get(), text); });
        recognition.vocabularyLeftOut = std::move(prompt.vocabularyLeftOut);
        whisper.prompt_tokens = prompt.tokens.empty() ? nullptr : prompt.tokens.data();
        whisper.n_prompt_tokens = prompt.tokens.size();
        params.family = &whisper.ext;
    }
    const auto aborted = [](void *flag) { return static_cast<const std::atomic_bool *>(flag)->load(); };
    transcribe_set_abort_callback(run, aborted, const_cast<std::atomic_bool *>(&cancel));
    const transcribe_status status = transcribe_run(run, samples.data(), int(samples.size()), &params);
    transcribe_set_abort_callback(run, nullptr, nullptr);
    if (cancel || status == TRANSCRIBE_ERR_ABORTED)
        return {};
    switch (status) {
    case TRANSCRIBE_OK:
        break;
    case TRANSCRIBE_ERR_OOM:
        throw LocalRecognitionError(LocalRecognitionErrorCase::notEnoughMemory, u"распознавание"_s);
    case TRANSCRIBE_ERR_UNSUPPORTED_LANGUAGE:
        throw LocalRecognitionError(LocalRecognitionErrorCase::languageUnsupported, options.language);
    default:
        qCWarning(lcServices) << "engine: recognition failed:" << statusText(status);
        throw LocalRecognitionError(LocalRecognitionErrorCase::recognitionFailed);
    }

    const int count = transcribe_n_segments(run);
    for (int i = 0; i < count; ++i) {
        transcribe_segment segment;
        transcribe_segment_init(&segment);
        if (transcribe_get_segment(run, i, &segment) != TRANSCRIBE_OK || !segment.text)
            continue;
        RecognisedSegment recognised { QString::fromUtf8(segment.text).trimmed(),
            std::chrono::milliseconds(segment.t0_ms), std::chrono::milliseconds(segment.t1_ms) };
        applyWindowJudgement(run, recognised);
        recognition.segments.push_back(std::move(recognised));
    }
    // GigaAM gives its text without segments: one for the whole call.
    if (count == 0) {
        const QString text = QString::fromUtf8(transcribe_full_text(run)).trimmed();
        if (!text.isEmpty())
            recognition.segments.push_back({ text, std::chrono::milliseconds(0),
                std::chrono::milliseconds(qint64(samples.size()) * 1000 / sampleRate) });
    }
    return recognition;
}

bool loadEngineBackends()
{
    static std::once_flag once;
    std::call_once(once, [] {
        setUpEngine();
        // Where the CPU code is built as loadable variants, the engine takes them from its
        // own folder only (never the current directory) and loads the best this CPU runs.
        const transcribe_status status = transcribe_init_backends_default();
        if (status != TRANSCRIBE_OK)
            qCWarning(lcServices) << "engine: no CPU code:" << statusText(status);
    });
    return transcribe_device_count() > 0;
}
