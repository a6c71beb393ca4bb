#pragma once

#include "core/abstractaudiorecorder.h"

#include <QByteArray>
#include <QtGlobal>

#include <cstddef>
#include <vector>

struct soxr;

// Turns interleaved capture frames of any rate and channel count into the
// system's PCM stream (s16le, mono, 24 kHz). One instance serves one recording:
// the resampler's state runs on from buffer to buffer, so chunk boundaries leave
// no seams.
class PCMConverter {
public:
    enum class SampleType { int16, int32, float32 }; // native byte order

    static constexpr double outputRate = 24000.0;

    // Throws AudioRecorderError::converterCreationFailed.
    PCMConverter(SampleType inputType, double inputRate, unsigned channels);
    ~PCMConverter();
    PCMConverter(const PCMConverter &) = delete;
    PCMConverter &operator=(const PCMConverter &) = delete;

    // Output frames to make room for when `frames` input frames arrive:
    // ceiling(frames × 24000 / inputRate) + 8.
    static quint32 outputCapacity(quint32 frames, double inputRate);

    // Converts `frameCount` whole frames and hands each non-empty chunk to
    // `onChunk`. A buffer that cannot be converted is dropped.
    void convert(const void *frames, std::size_t frameCount, const AbstractAudioRecorder::PCMHandler &onChunk);
    // Hands out what the resampler still holds. Ends the input: later calls to
    // convert() and flush() do nothing.
    void flush(const AbstractAudioRecorder::PCMHandler &onChunk);

    std::size_t bytesPerFrame() const { return m_bytesPerFrame; }

private:
    void resample(const float *mono, std::size_t frameCount, const AbstractAudioRecorder::PCMHandler &onChunk);

    SampleType m_inputType;
    double m_inputRate;
    unsigned m_channels;
    std::size_t m_bytesPerFrame;
    soxr *m_soxr = nullptr;
    bool m_flushed = false;
    std::vector<float> m_mono; // reused, so a steady stream allocates only its output chunks
};
