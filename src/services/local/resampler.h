#pragma once

#include <QByteArray>

#include <cstddef>
#include <span>
#include <vector>

struct soxr;

// Float mono at any rate → float mono 16 kHz, what the recognition engine takes. Streaming: the state runs
// on from buffer to buffer, so chunk boundaries leave no seams.
class Resampler {
public:
    static constexpr double outputRate = 16000.0;
    // The rates taken: the output grows with 16 kHz over the input rate, so a rate no recording
    // has (a damaged header's 1 Hz) would ask for more memory than there is.
    static constexpr double minimumInputRate = 1000.0;
    static constexpr double maximumInputRate = 768000.0;

    // Throws LocalRecognitionError::recognitionFailed for a rate outside the range above or one
    // soxr refuses.
    explicit Resampler(double inputRate);
    ~Resampler();
    Resampler(const Resampler &) = delete;
    Resampler &operator=(const Resampler &) = delete;

    std::vector<float> process(std::span<const float> input);
    // The recording's s16le chunks.
    std::vector<float> processPCM16(const QByteArray &pcm);
    // What the filter still holds; ends the input.
    std::vector<float> flush();

private:
    std::vector<float> run(const float *input, std::size_t frames);

    double m_inputRate;
    soxr *m_soxr = nullptr;
    std::vector<float> m_scratch;
};
