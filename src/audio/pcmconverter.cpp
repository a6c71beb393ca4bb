#include "audio/pcmconverter.h"

#include "audio/audiorecordererror.h"
#include "core/logging.h"

#include <QSysInfo>

#include <soxr.h>

#include <cmath>
#include <cstring>

// soxr writes int16 in native order; the stream format is little-endian.
static_assert(QSysInfo::ByteOrder == QSysInfo::LittleEndian, "PCM output assumes a little-endian host");

namespace {

std::size_t bytesPerSample(PCMConverter::SampleType type)
{
    switch (type) {
    case PCMConverter::SampleType::int16:
        return 2;
    case PCMConverter::SampleType::int32:
    case PCMConverter::SampleType::float32:
        return 4;
    }
    return 0;
}

template<typename Sample>
void mixDown(const Sample *in, std::size_t frameCount, unsigned channels, float scale, float *out)
{
    const float gain = scale / float(channels);
    for (std::size_t frame = 0; frame < frameCount; ++frame) {
        float sum = 0.0f;
        for (unsigned channel = 0; channel < channels; ++channel)
            sum += float(in[channel]);
        out[frame] = sum * gain;
        in += channels;
    }
}

} // namespace

PCMConverter::PCMConverter(SampleType inputType, double inputRate, unsigned channels)
    : m_inputType(inputType)
    , m_inputRate(inputRate)
    , m_channels(channels)
    , m_bytesPerFrame(bytesPerSample(inputType) * channels)
{
    if (!(inputRate > 0.0) || channels == 0)
        throw AudioRecorderError::converterCreationFailed();
    // The down-mix happens before resampling, so soxr runs one channel whatever
    // the source has. No dither: silence stays exact zeros.
    soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_INT16_I);
    io.flags |= SOXR_NO_DITHER;
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    m_soxr = soxr_create(inputRate, outputRate, 1, &error, &io, &quality, &runtime);
    if (error || !m_soxr) {
        soxr_delete(m_soxr);
        throw AudioRecorderError::converterCreationFailed();
    }
}

PCMConverter::~PCMConverter() { soxr_delete(m_soxr); }

quint32 PCMConverter::outputCapacity(quint32 frames, double inputRate)
{
    return quint32(std::ceil(double(frames) * (outputRate / inputRate))) + 8;
}

void PCMConverter::convert(const void *frames, std::size_t frameCount, const AbstractAudioRecorder::PCMHandler &onChunk)
{
    if (frameCount == 0 || !frames || m_flushed)
        return;
    if (m_inputType == SampleType::float32 && m_channels == 1) {
        resample(static_cast<const float *>(frames), frameCount, onChunk);
        return;
    }
    if (m_mono.size() < frameCount)
        m_mono.resize(frameCount);
    switch (m_inputType) {
    case SampleType::int16:
        mixDown(static_cast<const qint16 *>(frames), frameCount, m_channels, 1.0f / 32768.0f, m_mono.data());
        break;
    case SampleType::int32:
        mixDown(static_cast<const qint32 *>(frames), frameCount, m_channels, 1.0f / 2147483648.0f, m_mono.data());
        break;
    case SampleType::float32:
        mixDown(static_cast<const float *>(frames), frameCount, m_channels, 1.0f, m_mono.data());
        break;
    }
    resample(m_mono.data(), frameCount, onChunk);
}

void PCMConverter::resample(const float *mono, std::size_t frameCount, const AbstractAudioRecorder::PCMHandler &onChunk)
{
    // soxr may take less input than offered when the output buffer fills; keep
    // feeding until every input frame is in.
    while (frameCount > 0) {
        const quint32 capacity = outputCapacity(quint32(frameCount), m_inputRate);
        QByteArray chunk(qsizetype(capacity) * 2, Qt::Uninitialized);
        std::size_t used = 0;
        std::size_t produced = 0;
        if (const soxr_error_t error
            = soxr_process(m_soxr, mono, frameCount, &used, chunk.data(), capacity, &produced)) {
            // A buffer that cannot be converted is missing from the recording.
            qCWarning(lcAudio) << "resampling failed, a buffer was dropped:" << error;
            return;
        }
        if (produced > 0) {
            chunk.truncate(qsizetype(produced) * 2);
            onChunk(chunk);
        }
        if (used == 0 && produced == 0)
            return;
        mono += used;
        frameCount -= used;
    }
}

void PCMConverter::flush(const AbstractAudioRecorder::PCMHandler &onChunk)
{
    // A null input tells soxr the stream has ended; it then drains its filter.
    // Input after that point is not allowed, so convert() ignores it.
    if (m_flushed)
        return;
    m_flushed = true;
    const quint32 capacity = outputCapacity(4096, m_inputRate);
    for (;;) {
        QByteArray chunk(qsizetype(capacity) * 2, Qt::Uninitialized);
        std::size_t produced = 0;
        if (soxr_process(m_soxr, nullptr, 0, nullptr, chunk.data(), capacity, &produced) || produced == 0)
            return;
        chunk.truncate(qsizetype(produced) * 2);
        onChunk(chunk);
    }
}
