#include "audio/audiocapture_p.h"

#include "audio/audiorecordererror.h"
#include "core/blockingwork.h"
#include "core/logging.h"

#include <QMetaObject>

#include <utility>

using namespace Qt::StringLiterals;

namespace {

// What start() may spend waiting on the server; tearing down a failed start
// takes a few milliseconds more and still stays within three seconds.
constexpr pa_usec_t startBudget = 2'000 * PA_USEC_PER_MSEC;
constexpr quint32 fragmentFrames = 2048;

QString pulseDescription(int error) { return QString::fromUtf8(pa_strerror(error)); }

class MainloopLock {
public:
    explicit MainloopLock(pa_threaded_mainloop *loop)
        : m_loop(loop)
    {
        pa_threaded_mainloop_lock(m_loop);
    }
    ~MainloopLock() { pa_threaded_mainloop_unlock(m_loop); }
    MainloopLock(const MainloopLock &) = delete;
    MainloopLock &operator=(const MainloopLock &) = delete;

private:
    pa_threaded_mainloop *m_loop;
};

// The capture formats the converter reads directly; anything else (24-bit,
// 8-bit, a-law…) the server converts to float without loss on the way.
std::pair<pa_sample_format_t, PCMConverter::SampleType> captureFormat(pa_sample_format_t sourceFormat)
{
    switch (sourceFormat) {
    case PA_SAMPLE_S16NE:
        return { PA_SAMPLE_S16NE, PCMConverter::SampleType::int16 };
    case PA_SAMPLE_S32NE:
        return { PA_SAMPLE_S32NE, PCMConverter::SampleType::int32 };
    default:
        return { PA_SAMPLE_FLOAT32NE, PCMConverter::SampleType::float32 };
    }
}

} // namespace

AudioRecorder::Capture::~Capture()
{
    if (!m_loop)
        return;
    {
        MainloopLock lock(m_loop);
        if (m_stream) {
            pa_stream_set_read_callback(m_stream, nullptr, nullptr);
            pa_stream_set_state_callback(m_stream, nullptr, nullptr);
            pa_stream_disconnect(m_stream);
            pa_stream_unref(m_stream);
        }
        if (m_deadline)
            pa_threaded_mainloop_get_api(m_loop)->time_free(m_deadline);
        if (m_context) {
            pa_context_set_state_callback(m_context, nullptr, nullptr);
            pa_context_disconnect(m_context);
            pa_context_unref(m_context);
        }
    }
    // Joins the capture thread: after this the handler is never called again.
    pa_threaded_mainloop_stop(m_loop);
    pa_threaded_mainloop_free(m_loop);
}

void AudioRecorder::Capture::open()
{
    m_loop = pa_threaded_mainloop_new();
    if (!m_loop)
        throw AudioRecorderError::soundServer(pulseDescription(PA_ERR_INTERNAL));
    pa_threaded_mainloop_set_name(m_loop, "verbulo-capture");
    m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), "Vorsik");
    if (!m_context)
        throw AudioRecorderError::soundServer(pulseDescription(PA_ERR_INTERNAL));
    if (pa_threaded_mainloop_start(m_loop) < 0)
        throw AudioRecorderError::soundServer(pulseDescription(PA_ERR_INTERNAL));

    MainloopLock lock(m_loop);
    m_deadline = pa_context_rttime_new(m_context, pa_rtclock_now() + startBudget, &Capture::onDeadline, this);
    connectContext();
    const SourceInfo source = lookUpDefaultSource();
    const auto [format, sampleType] = captureFormat(source.spec.format);
    // Before the stream exists, so a converter failure leaves nothing running.
    m_converter = std::make_unique<PCMConverter>(sampleType, double(source.spec.rate), source.spec.channels);
    m_frameSize = m_converter->bytesPerFrame();
    pa_sample_spec spec = source.spec;
    spec.format = format;
    connectStream(SourceInfo { source.name, spec, source.map });
    pa_threaded_mainloop_get_api(m_loop)->time_free(m_deadline);
    m_deadline = nullptr;
}

template<typename Done> void AudioRecorder::Capture::waitFor(Done done)
{
    while (!done()) {
        if (m_timedOut)
            throw AudioRecorderError::soundServer(pulseDescription(PA_ERR_TIMEOUT));
        pa_threaded_mainloop_wait(m_loop);
    }
}

void AudioRecorder::Capture::connectContext()
{
    pa_context_set_state_callback(m_context, &Capture::signalLoop, this);
    // Spawning a daemon from here could hold start() past its bound; desktops
    // start their sound server themselves.
    if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        throw AudioRecorderError::soundServer(pulseDescription(pa_context_errno(m_context)));
    waitFor([this] {
        const pa_context_state_t state = pa_context_get_state(m_context);
        if (!PA_CONTEXT_IS_GOOD(state))
            throw AudioRecorderError::soundServer(pulseDescription(pa_context_errno(m_context)));
        return state == PA_CONTEXT_READY;
    });
}

AudioRecorder::Capture::SourceInfo AudioRecorder::Capture::lookUpDefaultSource()
{
    pa_operation *operation
        = pa_context_get_source_info_by_name(m_context, "@DEFAULT_SOURCE@", &Capture::onSourceInfo, this);
    if (!operation)
        throw AudioRecorderError::soundServer(pulseDescription(pa_context_errno(m_context)));
    try {
        waitFor([&] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
    } catch (...) {
        pa_operation_cancel(operation);
        pa_operation_unref(operation);
        throw;
    }
    pa_operation_unref(operation);
    if (m_lookupError != PA_OK && m_lookupError != PA_ERR_NOENTITY)
        throw AudioRecorderError::soundServer(pulseDescription(m_lookupError));
    if (!m_source || m_source->spec.rate == 0 || m_source->spec.channels == 0)
        throw AudioRecorderError::noInputDevice();
    return *m_source;
}

void AudioRecorder::Capture::connectStream(const SourceInfo &source)
{
    m_stream = pa_stream_new(m_context, "Диктовка", &source.spec, &source.map);
    if (!m_stream)
        throw AudioRecorderError::soundServer(pulseDescription(pa_context_errno(m_context)));
    pa_stream_set_state_callback(m_stream, &Capture::signalLoopFromStream, this);
    pa_stream_set_read_callback(m_stream, &Capture::onReadable, this);
    pa_buffer_attr attributes {};
    attributes.maxlength = quint32(-1);
    attributes.tlength = quint32(-1);
    attributes.prebuf = quint32(-1);
    attributes.minreq = quint32(-1);
    attributes.fragsize = quint32(fragmentFrames * m_frameSize);
    // A stream that may not move is ended by the server when its source goes, which
    // is how a removed microphone is noticed rather than silently swapped.
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(m_stream, source.name.constData(), &attributes, flags) < 0)
        throw AudioRecorderError::soundServer(pulseDescription(pa_context_errno(m_context)));
    waitFor([this] {
        const pa_stream_state_t state = pa_stream_get_state(m_stream);
        if (!PA_STREAM_IS_GOOD(state))
            throw AudioRecorderError::soundServer(pulseDescription(pa_context_errno(m_context)));
        return state == PA_STREAM_READY;
    });
}

void AudioRecorder::Capture::reportLossTo(AudioRecorder *recorder, quint64 generation)
{
    MainloopLock lock(m_loop);
    {
        std::lock_guard reportLock(m_reportLock);
        m_reportTo = recorder;
        m_generation = generation;
    }
    checkForLoss(); // it may have gone between the start and now
}

void AudioRecorder::Capture::checkForLoss()
{
    std::lock_guard lock(m_reportLock);
    if (!m_reportTo || m_lost)
        return;
    const bool streamGone = m_stream && !PA_STREAM_IS_GOOD(pa_stream_get_state(m_stream));
    if (!streamGone && PA_CONTEXT_IS_GOOD(pa_context_get_state(m_context)))
        return;
    m_lost = true;
    qCWarning(lcAudio) << "the recording stopped on its own:" << pulseDescription(pa_context_errno(m_context));
    pa_stream_set_read_callback(m_stream, nullptr, nullptr);
    flushConverter(); // what the resampler still holds belongs to the recording
    QMetaObject::invokeMethod(
        m_reportTo, [recorder = m_reportTo, generation = m_generation] { recorder->captureLost(generation); },
        Qt::QueuedConnection);
}

void AudioRecorder::Capture::flushConverter()
{
    try {
        m_converter->flush(m_onPCMData);
    } catch (...) {
        qCWarning(lcAudio) << "the end of the recording was dropped";
    }
}

QFuture<void> AudioRecorder::Capture::finish(std::shared_ptr<Capture> capture)
{
    QFuture<void> finished = capture->m_finished.future();
    capture->m_finished.start();
    {
        // No loss is reported once the recording was stopped.
        std::lock_guard lock(capture->m_reportLock);
        capture->m_reportTo = nullptr;
    }
    if (!capture->m_loop || !capture->m_stream) {
        capture->m_finished.finish();
        return finished;
    }
    // The capture thread holds the loop's lock while it hands a chunk on: it is taken on a worker.
    (void)BlockingWork::run([capture = std::move(capture)]() mutable {
        Capture *self = capture.get();
        MainloopLock lock(self->m_loop);
        self->m_finishing = std::move(capture);
        pa_mainloop_api_once(pa_threaded_mainloop_get_api(self->m_loop), &Capture::onFinish, self);
    });
    return finished;
}

void AudioRecorder::Capture::readAvailable()
{
    while (pa_stream_readable_size(m_stream) > 0) {
        const void *data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(m_stream, &data, &bytes) < 0) {
            qCWarning(lcAudio) << "reading the stream failed:" << pulseDescription(pa_context_errno(m_context));
            return;
        }
        if (bytes == 0)
            return;
        if (!data)
            qCWarning(lcAudio) << "the server left a hole of" << bytes << "bytes in the recording";
        // A null pointer marks a hole the server could not fill; nothing to convert.
        // Record streams deliver whole frames.
        try {
            if (data)
                m_converter->convert(data, bytes / m_frameSize, m_onPCMData);
        } catch (...) {
            // Never let a failure escape into the sound library: the buffer is dropped.
            qCWarning(lcAudio) << "a captured buffer was dropped:" << bytes << "bytes";
        }
        pa_stream_drop(m_stream);
    }
}

void AudioRecorder::Capture::signalLoop(pa_context *, void *self)
{
    auto *capture = static_cast<Capture *>(self);
    pa_threaded_mainloop_signal(capture->m_loop, 0);
    capture->checkForLoss();
}

void AudioRecorder::Capture::signalLoopFromStream(pa_stream *, void *self)
{
    auto *capture = static_cast<Capture *>(self);
    pa_threaded_mainloop_signal(capture->m_loop, 0);
    capture->checkForLoss();
}

void AudioRecorder::Capture::onDeadline(pa_mainloop_api *, pa_time_event *, const struct timeval *, void *self)
{
    auto *capture = static_cast<Capture *>(self);
    capture->m_timedOut = true;
    pa_threaded_mainloop_signal(capture->m_loop, 0);
}

void AudioRecorder::Capture::onSourceInfo(pa_context *context, const pa_source_info *info, int eol, void *self)
{
    auto *capture = static_cast<Capture *>(self);
    if (eol < 0)
        capture->m_lookupError = pa_context_errno(context);
    else if (info && !capture->m_source)
        capture->m_source = SourceInfo { QByteArray(info->name), info->sample_spec, info->channel_map };
    pa_threaded_mainloop_signal(capture->m_loop, 0);
}

void AudioRecorder::Capture::onReadable(pa_stream *, size_t, void *self)
{
    static_cast<Capture *>(self)->readAvailable();
}

void AudioRecorder::Capture::onFinish(pa_mainloop_api *, void *self)
{
    auto *capture = static_cast<Capture *>(self);
    if (pa_stream_get_state(capture->m_stream) == PA_STREAM_READY)
        capture->readAvailable();
    // The main thread needs a moment to wake up; data arriving meanwhile must not
    // reach the resampler after its end-of-input flush.
    pa_stream_set_read_callback(capture->m_stream, nullptr, nullptr);
    capture->flushConverter();
    capture->m_finished.finish();
    // Its teardown joins this thread, so it happens elsewhere.
    retire(std::move(capture->m_finishing));
}

void AudioRecorder::Capture::retire(std::shared_ptr<Capture> capture)
{
    (void)BlockingWork::run([capture = std::move(capture)] {});
}
