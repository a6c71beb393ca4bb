#pragma once

#include <QByteArray>

// Packs a whole recording of s16le mono 24 kHz PCM into a WAV (RIFF) image.
namespace WAVEncoder {

// Largest PCM size whose RIFF chunk size (count + 36) still fits in 32 bits.
inline constexpr quint64 maximumPCMByteCount = 4'294'967'259ULL;

// Throws GigaChatError(audioTooLong) when `pcmByteCount` is over the limit.
void checkSize(quint64 pcmByteCount);

// The 44-byte header for `pcmByteCount` bytes of PCM; checks the size first.
QByteArray header(quint64 pcmByteCount);

// Header followed by the PCM bytes unchanged; the PCM is copied exactly once.
QByteArray encodePCM16Mono24kHz(const QByteArray &pcm);

} // namespace WAVEncoder
