#include "gigachaterror.h"
#include "wavencoder.h"

#include <QtEndian>

#include <gtest/gtest.h>

namespace {

// The header every WAV image starts with, for `count` bytes of PCM.
QByteArray goldenHeader(quint32 count)
{
    QByteArray h;
    auto u32 = [&h](quint32 v) { h.append(reinterpret_cast<const char *>(&v), 4); };
    auto u16 = [&h](quint16 v) { h.append(reinterpret_cast<const char *>(&v), 2); };
    static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "golden bytes are written in host order");
    h.append("RIFF");
    u32(count + 36);
    h.append("WAVEfmt ");
    u32(16);
    u16(1);
    u16(1);
    u32(24000);
    u32(48000);
    u16(2);
    u16(16);
    h.append("data");
    u32(count);
    return h;
}

TEST(WAVEncoderTest, EmptyPCMIsTheHeaderAlone)
{
    const QByteArray wav = WAVEncoder::encodePCM16Mono24kHz({});
    ASSERT_EQ(wav.size(), 44);
    EXPECT_EQ(wav, goldenHeader(0));
    EXPECT_EQ(qFromLittleEndian<quint32>(wav.constData() + 4), 36u);
}

TEST(WAVEncoderTest, PCMIsCopiedUnchangedWithoutPadding)
{
    for (qsizetype size : {1, 3, 48'000}) {
        QByteArray pcm(size, Qt::Uninitialized);
        for (qsizetype i = 0; i < size; ++i)
            pcm[i] = static_cast<char>(i * 7 + 1);
        const QByteArray wav = WAVEncoder::encodePCM16Mono24kHz(pcm);
        ASSERT_EQ(wav.size(), size + 44) << size;
        EXPECT_EQ(wav.left(44), goldenHeader(static_cast<quint32>(size)));
        EXPECT_EQ(wav.mid(44), pcm);
    }
    EXPECT_EQ(qFromLittleEndian<quint32>(WAVEncoder::encodePCM16Mono24kHz(QByteArray(48'000, 0)).constData() + 4),
              48'036u);
}

TEST(WAVEncoderTest, SizeLimitIsTheLargestCountWhoseRiffSizeFits)
{
    EXPECT_NO_THROW(WAVEncoder::checkSize(4'294'967'259ULL));
    const QByteArray header = WAVEncoder::header(4'294'967'259ULL);
    EXPECT_EQ(qFromLittleEndian<quint32>(header.constData() + 4), 0xFFFFFFFFu);
    EXPECT_EQ(qFromLittleEndian<quint32>(header.constData() + 40), 4'294'967'259u);

    try {
        WAVEncoder::checkSize(4'294'967'260ULL);
        FAIL() << "one byte over the limit must fail";
    } catch (const GigaChatError &error) {
        EXPECT_EQ(error.errorCase(), GigaChatError::Case::audioTooLong);
        EXPECT_EQ(error.description(), QStringLiteral("Запись слишком длинная для отправки в GigaChat."));
    }
    EXPECT_THROW(WAVEncoder::header(1ULL << 33), GigaChatError);
}

} // namespace
