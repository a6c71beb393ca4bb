#include "services/local/resampler.h"

#include "services/local/localrecognitionerror.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>

Resampler::Resampler(double inputRate)
    : m_inputRate(inputRate)
{
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    if (inputRate >= minimumInputRate && inputRate <= maximumInputRate)
        m_soxr = soxr_create(inputRate, outputRate, 1, &error, &io, &quality, &runtime);
    if (error || !m_soxr) {
        soxr_delete(m_soxr);
        throw LocalRecognitionError(LocalRecognitionErrorCase::recognitionFailed);
    }
}

Resampler::~Resampler() { soxr_delete(m_soxr); }

std::vector<float> Resampler::process(std::span<const float> input)
{
    if (input.empty())
        return {};
    return run(input.data(), input.size());
}

std::vector<float> Resampler::processPCM16(const QByteArray &pcm)
{
    const auto frames = std::size_t(pcm.size()) / 2;
    m_scratch.resize(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        qint16 sample = 0;
        std::memcpy(&sample, pcm.constData() + 2 * i, 2); // little-endian host, as the recording
        m_scratch[i] = float(sample) / 32768.0f;
    }
    return process(m_scratch);
}

std::vector<float> Resampler::flush() { return run(nullptr, 0); }

std::vector<float> Resampler::run(const float *input, std::size_t frames)
{
    // Bounded, so that a long file is resampled in pieces rather than into a second copy of itself.
    constexpr std::size_t outputBlock = 1 << 16;
    std::vector<float> output(
        std::min(std::size_t(std::ceil(double(frames) * outputRate / m_inputRate)) + 64, outputBlock));
    std::vector<float> result;
    std::size_t consumed = 0;
    // A flush (no input) may take several calls to drain the filter.
    for (;;) {
        std::size_t taken = 0;
        std::size_t produced = 0;
        soxr_process(m_soxr, input ? input + consumed : nullptr, frames - consumed, &taken, output.data(),
            output.size(), &produced);
        consumed += taken;
        result.insert(result.end(), output.begin(), output.begin() + std::ptrdiff_t(produced));
        if (input ? consumed >= frames && produced < output.size() : produced == 0)
            break;
    }
    return result;
}
