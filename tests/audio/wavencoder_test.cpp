#include "audio/wavencoder.h"

#include <QtEndian>

#include <gtest/gtest.h>

namespace {

// The header every WAV image starts with, for `count` bytes of s16le mono 24 kHz PCM.
QByteArray goldenHeader(quint32 count)
{
    QByteArray h = QByteArray::fromHex("52494646 00000000 57415645 666d7420 10000000 0100 0100 c05d0000 80bb0000"
                                       "0200 1000 64617461 00000000");
    qToLittleEndian(count + 36, h.data() + 4);
    qToLittleEndian(count, h.data() + 40);
    return h;
}

TEST(WAVEncoderTest, GoldenHeaderThenThePCMUnchangedWithoutPadding)
{
    for (qsizetype size : { 0, 1, 3, 48'000 }) { // empty, odd, one second
        QByteArray pcm(size, Qt::Uninitialized);
        for (qsizetype i = 0; i < size; ++i)
            pcm[i] = static_cast<char>(i * 7 + 1);
        const QByteArray wav = WAVEncoder::encodePCM16Mono24kHz(pcm);
        ASSERT_EQ(wav.size(), size + 44) << size;
        EXPECT_EQ(wav.left(44), goldenHeader(static_cast<quint32>(size))) << size;
        EXPECT_EQ(wav.mid(44), pcm) << size;
    }
}

} // namespace
