#pragma once

#include <QByteArray>
#include <QFuture>

#include <QCoro/QCoroTask>

#include <functional>

class AbstractAudioRecorder {
public:
    // s16le mono 24 kHz: a second of the recording in bytes.
    static constexpr qsizetype bytesPerSecond = 48'000;
    // Called on the capture thread with non-empty chunks of s16le mono 24 kHz PCM.
    using PCMHandler = std::function<void(const QByteArray &chunk)>;
    // Called on the main thread when the recording ends on its own (the sound server
    // went away, the microphone was removed), after every chunk captured until then.
    using LossHandler = std::function<void()>;

    virtual ~AbstractAudioRecorder() = default;
    // Resumes once recording runs; throws DescribedError when it cannot start.
    // Starting while running does nothing and keeps the first handlers.
    virtual QCoro::Task<> start(PCMHandler onPCMData, LossHandler onLost) = 0;
    // Returns at once; harmless when not running, and a start still under way ends without
    // recording. The future finishes once the last chunk has been handed to the handler, which is
    // never called afterwards.
    virtual QFuture<void> stop() = 0;
    virtual bool isRunning() const = 0;
};
