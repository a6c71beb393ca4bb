#include "audio/wavencoder.h"

#include <QtEndian>

#include <cstring>

WAVEncoderError::WAVEncoderError()
    : DescribedError(QStringLiteral("Запись слишком длинная для отправки в GigaChat."))
{
}

namespace WAVEncoder {

namespace {

constexpr qsizetype headerSize = 44;

void writeHeader(char *out, quint32 count, quint32 sampleRate = 24000)
{
    auto put32 = [&out](quint32 value) {
        qToLittleEndian(value, out);
        out += 4;
    };
    auto put16 = [&out](quint16 value) {
        qToLittleEndian(value, out);
        out += 2;
    };
    auto putTag = [&out](const char(&tag)[5]) {
        std::memcpy(out, tag, 4);
        out += 4;
    };
    putTag("RIFF");
    put32(count + 36);
    putTag("WAVE");
    putTag("fmt ");
    put32(16);
    put16(1); // integer PCM
    put16(1); // one channel
    put32(sampleRate);
    put32(sampleRate * 2); // byte rate
    put16(2); // block align
    put16(16); // bits per sample
    putTag("data");
    put32(count);
}

} // namespace

void checkSize(quint64 pcmByteCount)
{
    if (pcmByteCount > maximumPCMByteCount)
        throw WAVEncoderError();
}

QByteArray header(quint64 pcmByteCount, quint32 sampleRate)
{
    checkSize(pcmByteCount);
    QByteArray bytes(headerSize, Qt::Uninitialized);
    writeHeader(bytes.data(), static_cast<quint32>(pcmByteCount), sampleRate);
    return bytes;
}

QByteArray encodePCM16Mono24kHz(const QByteArray &pcm)
{
    checkSize(static_cast<quint64>(pcm.size()));
    QByteArray wav(headerSize + pcm.size(), Qt::Uninitialized);
    writeHeader(wav.data(), static_cast<quint32>(pcm.size()));
    if (!pcm.isEmpty())
        std::memcpy(wav.data() + headerSize, pcm.constData(), static_cast<size_t>(pcm.size()));
    return wav;
}

} // namespace WAVEncoder
