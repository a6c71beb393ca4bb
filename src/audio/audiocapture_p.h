#pragma once

#include "audio/audiorecorder.h"
#include "audio/pcmconverter.h"

#include <pulse/pulseaudio.h>

#include <QByteArray>
#include <QFuture>
#include <QPromise>

#include <memory>
#include <mutex>
#include <optional>

// One recording: the threaded main loop (whose thread is the capture thread),
// the connection, the record stream and the converter. Destroying it tears all
// of that down, so a failed start and stop() leave the same nothing behind.
class AudioRecorder::Capture {
public:
    explicit Capture(PCMHandler onPCMData)
        : m_onPCMData(std::move(onPCMData))
    {
    }
    ~Capture();

    // Throws AudioRecorderError; the caller destroys the object afterwards.
    void open();
    // From now on a stream that fails or a server that goes away is reported to
    // `recorder` (on its thread) as the loss of capture `generation`.
    void reportLossTo(AudioRecorder *recorder, quint64 generation);
    // Delivers what is still buffered on the capture thread, then tears `capture` down on a
    // worker; the future finishes after the last chunk. Returns at once.
    static QFuture<void> finish(std::shared_ptr<Capture> capture);
    const QByteArray &sourceName() const { return m_source->name; }

private:
    struct SourceInfo {
        QByteArray name;
        pa_sample_spec spec {};
        pa_channel_map map {};
    };

    void connectContext();
    SourceInfo lookUpDefaultSource();
    void connectStream(const SourceInfo &source);
    // Waits on the main loop until `done` holds; throws when the server fails
    // or the start budget runs out.
    template<typename Done> void waitFor(Done done);
    void readAvailable();
    // With the main loop locked: notices a failed stream or connection once.
    void checkForLoss();
    void flushConverter();

    static void signalLoop(pa_context *, void *self);
    static void signalLoopFromStream(pa_stream *, void *self);
    static void onDeadline(pa_mainloop_api *, pa_time_event *, const struct timeval *, void *self);
    static void onSourceInfo(pa_context *, const pa_source_info *info, int eol, void *self);
    static void onReadable(pa_stream *, size_t, void *self);
    static void onFinish(pa_mainloop_api *, void *self);

public:
    // Drops a reference off the calling thread: the last one joins the capture thread.
    static void retire(std::shared_ptr<Capture> capture);

private:
    PCMHandler m_onPCMData;
    pa_threaded_mainloop *m_loop = nullptr;
    pa_context *m_context = nullptr;
    pa_stream *m_stream = nullptr;
    pa_time_event *m_deadline = nullptr;
    bool m_timedOut = false;
    std::shared_ptr<Capture> m_finishing; // itself, from finish() until the last chunk is out
    QPromise<void> m_finished;
    // Cleared by stop() without the loop's lock, which the capture thread may hold for a while.
    std::mutex m_reportLock;
    AudioRecorder *m_reportTo = nullptr;
    quint64 m_generation = 0;
    bool m_lost = false;
    std::optional<SourceInfo> m_source;
    int m_lookupError = PA_OK;
    std::unique_ptr<PCMConverter> m_converter;
    std::size_t m_frameSize = 0;
};
