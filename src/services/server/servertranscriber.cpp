#include "services/server/servertranscriber.h"

#include "core/detachedtask.h"
#include "core/logging.h"
#include "services/local/promptbudget.h"

#include <QPointer>
#include <QTimer>

using namespace Qt::StringLiterals;
using namespace std::chrono;

namespace {

milliseconds lengthOf(std::size_t samples) { return milliseconds(samples * 1000 / PauseDetector::sampleRate); }

QString spanText(milliseconds from, milliseconds to)
{
    return u"%1–%2 с"_s.arg(from.count() / 1000).arg((to.count() + 999) / 1000);
}

} // namespace

ServerTranscriber::ServerTranscriber(
    RealtimeTranscriberCallbacks callbacks, AbstractKeychain *keychain, Settings settings, QObject *parent)
    : QObject(parent)
    , m_callbacks(std::move(callbacks))
    , m_keychain(keychain)
    , m_settings(std::move(settings))
    , m_client(m_settings.server)
{
}

ServerTranscriber::~ServerTranscriber() { stop(); }

QCoro::Task<void> ServerTranscriber::connect(QString, QString prompt, QStringList keywords)
{
    m_transcript.emplace(TranscriptAssembler::Settings { .spokenPunctuation = m_settings.spokenPunctuation,
        .paragraphsAtPauses = m_settings.paragraphsAtPauses,
        .vocabulary = keywords,
        .context = prompt });
    const QPointer<ServerTranscriber> self(this);
    if (m_keychain) {
        const std::optional<QString> key = co_await m_keychain->read(QString::fromLatin1(keyAccount));
        if (!self)
            co_return;
        m_client.setKey(key.value_or(QString()));
    }
    QStringList models;
    try {
        models = co_await m_client.models();
    } catch (const RecognitionServerError &error) {
        using Case = RecognitionServerErrorCase;
        const bool noServer = error.errorCase() == Case::unreachable || error.errorCase() == Case::untrusted;
        if (self && noServer && !m_settings.localOffer.isEmpty())
            throw DescribedError(error.description() + u' ' + m_settings.localOffer);
        throw;
    }
    if (!self)
        co_return;
    if (m_client.settings().model.isEmpty()) {
        if (models.isEmpty())
            throw RecognitionServerError(RecognitionServerErrorCase::noModel);
        m_client.setModel(models.first());
    }
}

QCoro::Task<void> ServerTranscriber::appendAudio(QByteArray pcm)
{
    if (m_done || m_committed || m_ending || !m_transcript)
        co_return;
    enqueue(m_detector.append(m_resampler.processPCM16(pcm)));
}

void ServerTranscriber::appendSamples(std::span<const float> samples)
{
    if (m_done || m_committed || m_ending || !m_transcript)
        return;
    enqueue(m_detector.append(samples));
}

QCoro::Task<void> ServerTranscriber::commit()
{
    if (m_done || m_committed || !m_transcript)
        co_return;
    std::vector<SpeechStretch> tail;
    if (!m_ending) {
        tail = m_detector.append(m_resampler.flush());
        for (SpeechStretch &stretch : m_detector.finish())
            tail.push_back(std::move(stretch));
    }
    m_committed = true;
    enqueue(std::move(tail));
    finishWhenDone();
}

QCoro::Task<void> ServerTranscriber::disconnect()
{
    stop();
    co_return;
}

void ServerTranscriber::stop()
{
    if (m_done && m_queue.empty() && m_inFlight == 0)
        return;
    m_done = true;
    m_queue.clear();
    m_client.abort(); // the answers under way find the dictation over
}

void ServerTranscriber::enqueue(std::vector<SpeechStretch> stretches)
{
    for (SpeechStretch &stretch : stretches)
        m_queue.push_back(std::move(stretch));
    sendMore();
}

QString ServerTranscriber::fittedPrompt() const
{
    // Counted in characters: the server's tokenizer is not known here.
    const FittedPrompt fitted = PromptBudget::fit(m_transcript->prompt(), promptCharacters,
        [](const QString &text) { return std::vector<int>(text.utf16(), text.utf16() + text.size()); });
    QString prompt;
    for (const int unit : fitted.tokens)
        prompt.append(QChar(char16_t(unit)));
    return prompt;
}

void ServerTranscriber::sendMore()
{
    while (!m_done && !m_ending && m_inFlight < m_settings.inFlight && !m_queue.empty()) {
        SpeechStretch stretch = std::move(m_queue.front());
        m_queue.pop_front();
        const std::size_t index = m_sent++;
        m_results[index] = Result { .span = { stretch.start, stretch.start + lengthOf(stretch.samples.size()) },
            .pauseBefore = stretch.pauseBefore };
        ++m_inFlight;
        startDetached(send(index, std::move(stretch.samples), fittedPrompt()), [](const QString &) {});
    }
}

QCoro::Task<> ServerTranscriber::send(std::size_t index, std::vector<float> samples, QString prompt)
{
    const QPointer<ServerTranscriber> self(this);
    std::optional<QString> text;
    std::optional<RecognitionServerError> failure;
    try {
        text = co_await m_client.recognise(std::move(samples), std::move(prompt));
    } catch (const RecognitionServerError &error) {
        failure = error;
    }
    if (!self || m_done)
        co_return;
    --m_inFlight;
    Result &result = m_results[index];
    result.pending = false;
    if (failure) {
        qCWarning(lcServices) << "server: stretch" << index << "failed:" << failure->kind();
        result.failure = failure->description();
        if (failure->endsDictation() && !m_ending) {
            m_ending = failure->description();
            // What was recorded but not sent is lost with it.
            for (const SpeechStretch &stretch : m_queue)
                m_lost.push_back({ stretch.start, stretch.start + lengthOf(stretch.samples.size()) });
            m_queue.clear();
        }
    } else {
        result.text = std::move(text);
    }
    join();
    sendMore();
    finishWhenDone();
}

void ServerTranscriber::join()
{
    for (auto it = m_results.find(m_joined); it != m_results.end() && !it->second.pending;
         it = m_results.find(m_joined)) {
        const Result &result = it->second;
        if (result.text) {
            std::vector<RecognisedSegment> segments;
            if (!result.text->isEmpty())
                segments.push_back(
                    { .text = *result.text, .start = milliseconds(0), .end = result.span.end - result.span.start });
            m_transcript->add(segments, result.pauseBefore);
        } else {
            m_lost.push_back(result.span);
            m_lostReason = result.failure;
        }
        m_results.erase(it);
        ++m_joined;
    }
    const QString text = m_transcript->text();
    if (text != m_shown) {
        m_shown = text;
        if (m_callbacks.onPartial)
            m_callbacks.onPartial(text);
    }
}

void ServerTranscriber::finishWhenDone()
{
    if (m_done || m_finishing || m_inFlight > 0 || !m_queue.empty() || !(m_committed || m_ending))
        return;
    // Never from inside the caller's own call.
    m_finishing = true;
    QTimer::singleShot(0, this, [this] {
        if (!m_done)
            finishText();
    });
}

void ServerTranscriber::finishText()
{
    const QString text = m_transcript->text();
    const QString reason = m_ending.value_or(m_lostReason);
    if (text.trimmed().isEmpty() && (m_ending || !m_lost.empty())) {
        fail(reason); // nothing was recognised: the reason is the whole story
        return;
    }
    m_done = true;
    if (m_callbacks.onNotice) {
        if (m_ending && !m_committed) {
            const milliseconds from = m_lost.empty() ? milliseconds(0) : m_lost.front().start;
            m_callbacks.onNotice(
                u"Распознавание остановлено на %1 с записи: %2"_s.arg(from.count() / 1000).arg(reason));
        } else if (!m_lost.empty()) {
            QStringList spans;
            for (const Span &span : m_lost)
                spans.append(spanText(span.start, span.end));
            m_callbacks.onNotice(u"Часть речи не распознана (%1): %2"_s.arg(spans.join(u", "_s), reason));
        }
    }
    if (m_callbacks.onFinal)
        m_callbacks.onFinal(text);
}

void ServerTranscriber::fail(const QString &message)
{
    if (m_done)
        return;
    m_done = true;
    m_queue.clear();
    if (m_callbacks.onError)
        m_callbacks.onError(message);
}
