#include "services/local/wavreader.h"

#include "services/local/localrecognitionerror.h"
#include "services/local/resampler.h"

#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

constexpr quint16 formatPCM = 1;
constexpr quint16 formatFloat = 3;
constexpr quint16 formatExtensible = 0xFFFE;
// More than any microphone array records; a larger count is a damaged header.
constexpr quint16 maximumChannels = 64;
// Streaming writers put 0x7FFFFFFF, 0xFFFFFFFF or thereabouts where the data size goes.
constexpr quint32 unknownDataSize = 0x7FFFF000;

[[noreturn]] void fail(const QString &reason)
{
    throw LocalRecognitionError(LocalRecognitionErrorCase::audioUnreadable, reason);
}

struct Format {
    quint16 tag = 0;
    quint16 channels = 0;
    quint32 rate = 0;
    quint16 bits = 0;
};

Format readFormat(QByteArrayView chunk)
{
    if (chunk.size() < 16)
        fail(u"блок fmt слишком короткий."_s);
    const auto *data = chunk.data();
    Format format { qFromLittleEndian<quint16>(data), qFromLittleEndian<quint16>(data + 2),
        qFromLittleEndian<quint32>(data + 4), qFromLittleEndian<quint16>(data + 14) };
    // The extensible header names the real format in the first two bytes of its GUID.
    if (format.tag == formatExtensible) {
        if (chunk.size() < 26)
            fail(u"блок fmt слишком короткий."_s);
        format.tag = qFromLittleEndian<quint16>(data + 24);
    }
    return format;
}

float sampleAt(const char *at, const Format &format)
{
    switch (format.bits) {
    case 8:
        return (float(quint8(*at)) - 128.0f) / 128.0f; // 8-bit WAV is unsigned
    case 16:
        return float(qFromLittleEndian<qint16>(at)) / 32768.0f;
    case 24: {
        const qint32 value
            = qint32(quint32(quint8(at[0])) << 8 | quint32(quint8(at[1])) << 16 | quint32(quint8(at[2])) << 24) >> 8;
        return float(value) / 8388608.0f;
    }
    default:
        if (format.tag == formatFloat) {
            float value = 0;
            const quint32 bits = qFromLittleEndian<quint32>(at);
            std::memcpy(&value, &bits, 4);
            // A float file may hold anything: NaN or infinity would poison the recogniser's
            // arithmetic, and louder than full scale is clipped as a sound card would.
            return std::isfinite(value) ? std::clamp(value, -1.0f, 1.0f) : 0.0f;
        }
        return float(double(qFromLittleEndian<qint32>(at)) / 2147483648.0);
    }
}

} // namespace

WavAudio readWav(const QByteArray &file)
{
    if (file.size() < 12 || !file.startsWith("RIFF") || file.mid(8, 4) != "WAVE")
        fail(u"это не WAV-файл."_s);
    std::optional<Format> format;
    std::optional<QByteArrayView> data;
    qsizetype at = 12;
    while (at + 8 <= file.size()) {
        const QByteArrayView id(file.constData() + at, 4);
        const quint32 declared = qFromLittleEndian<quint32>(file.constData() + at + 4);
        const qsizetype start = at + 8;
        const qsizetype available = file.size() - start;
        if (id == "data") {
            // A writer that could not go back to fill the size in leaves one of its "unknown"
            // values: the bytes there count. Any other size beyond the end is a cut-off file.
            if (qsizetype(declared) > available && declared < unknownDataSize)
                fail(u"заголовок обещает %1 байт звука, а в файле их %2: файл обрезан."_s.arg(declared).arg(available));
            data = QByteArrayView(file.constData() + start, std::min<qsizetype>(declared, available));
        } else if (qsizetype(declared) > available) {
            fail(u"файл обрывается внутри блока."_s);
        } else if (id == "fmt ") {
            format = readFormat(QByteArrayView(file.constData() + start, declared));
        }
        at = start + qsizetype(declared) + (declared & 1); // chunks are padded to even sizes
    }
    if (!format)
        fail(u"в файле нет описания формата (блок fmt)."_s);
    if (!data)
        fail(u"в файле нет звука (блок data)."_s);
    if (format->tag != formatPCM && format->tag != formatFloat)
        fail(u"звук сжат (формат %1), а читается только несжатый PCM."_s.arg(format->tag));
    const bool supported = format->tag == formatFloat
        ? format->bits == 32
        : (format->bits == 8 || format->bits == 16 || format->bits == 24 || format->bits == 32);
    if (!supported)
        fail(u"%1-битный звук этого вида не поддерживается."_s.arg(format->bits));
    if (format->rate < Resampler::minimumInputRate || format->rate > Resampler::maximumInputRate)
        fail(u"частота %1 Гц не бывает у записи речи: читаются частоты от %2 до %3 Гц."_s.arg(format->rate)
                 .arg(Resampler::minimumInputRate)
                 .arg(Resampler::maximumInputRate));
    if (format->channels == 0 || format->channels > maximumChannels)
        fail(u"число каналов — %1; читаются записи с 1–%2 каналами."_s.arg(format->channels).arg(maximumChannels));

    const qsizetype sampleBytes = format->bits / 8;
    const qsizetype frameBytes = sampleBytes * format->channels;
    WavAudio audio;
    audio.sampleRate = format->rate;
    audio.samples.resize(std::size_t(data->size() / frameBytes));
    const char *frame = data->data();
    for (float &mono : audio.samples) {
        float sum = 0;
        for (int channel = 0; channel < format->channels; ++channel)
            sum += sampleAt(frame + channel * sampleBytes, *format);
        mono = sum / float(format->channels);
        frame += frameBytes;
    }
    return audio;
}
