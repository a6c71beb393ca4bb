#pragma once

#include "neighbours.h"

#include <memory>

// Records the default PulseAudio source and hands out s16le mono 24 kHz chunks.
// start() and stop() belong to the main thread; the handler runs on the
// capture thread and nothing else does.
class AudioRecorder final : public AbstractAudioRecorder
{
public:
    AudioRecorder();
    ~AudioRecorder() override;
    AudioRecorder(const AudioRecorder &) = delete;
    AudioRecorder &operator=(const AudioRecorder &) = delete;

    // Returns once the stream runs, or throws AudioRecorderError within three
    // seconds; a failed start leaves nothing behind.
    void start(PCMHandler onPCMData) override;
    void stop() override;
    bool isRunning() const override { return m_running; }

private:
    class Capture;
    std::unique_ptr<Capture> m_capture; // present only while running
    bool m_running = false;
};
