#pragma once

#include "core/abstractaudiorecorder.h"

#include <QObject>

#include <memory>

// Records the default PulseAudio source and hands out s16le mono 24 kHz chunks.
// start() and stop() belong to the main thread, which never waits on the sound
// server or the capture thread: the stream is opened and torn down on a worker. The
// handler runs on the capture thread and nothing else does.
class AudioRecorder final : public QObject, public AbstractAudioRecorder {
    Q_OBJECT

public:
    explicit AudioRecorder(QObject *parent = nullptr);
    ~AudioRecorder() override;

    // Resumes once the stream runs, or throws AudioRecorderError within three
    // seconds; a failed start leaves nothing behind.
    QCoro::Task<> start(PCMHandler onPCMData, LossHandler onLost) override;
    QFuture<void> stop() override;
    bool isRunning() const override { return m_running; }

Q_SIGNALS:
    // A start has finished opening, whatever its outcome.
    void startSettled();

private:
    class Capture;
    void captureLost(quint64 generation);

    std::shared_ptr<Capture> m_capture; // present only while running
    LossHandler m_onLost;
    quint64 m_generation = 0;
    bool m_running = false;
    bool m_starting = false;
    bool m_stopWhenStarted = false;
};
