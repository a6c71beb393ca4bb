#pragma once

#include "core/describederror.h"

#include <QByteArray>

// A recording too long for a WAV header. Every provider shows the text users have
// always seen for it.
class WAVEncoderError : public DescribedError {
public:
    WAVEncoderError();
};

// Packs a whole recording of s16le mono PCM (24 kHz, as recorded, unless told) into a WAV (RIFF) image.
namespace WAVEncoder {

// Largest PCM size whose RIFF chunk size (count + 36) still fits in 32 bits.
inline constexpr quint64 maximumPCMByteCount = 4'294'967'259ULL;

// Throws WAVEncoderError when `pcmByteCount` is over the limit.
void checkSize(quint64 pcmByteCount);

// The 44-byte header for `pcmByteCount` bytes of PCM; checks the size first.
QByteArray header(quint64 pcmByteCount, quint32 sampleRate = 24000);

// Header followed by the PCM bytes unchanged; the PCM is copied exactly once.
QByteArray encodePCM16Mono24kHz(const QByteArray &pcm);

} // namespace WAVEncoder
