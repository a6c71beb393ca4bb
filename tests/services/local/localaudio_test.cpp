#include "localrecognitionerror.h"
#include "pausedetector.h"
#include "resampler.h"
#include "testutil.h"
#include "wavreader.h"

#include <QtEndian>

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// Speech stand-in: a 200 Hz tone at `level` for `length`; level 0 is the room's quiet.
struct Part {
    std::chrono::milliseconds length;
    float level;
};

std::vector<float> synthesise(std::initializer_list<Part> parts)
{
    std::mt19937 random(7);
    std::normal_distribution<float> noise(0.0f, 0.0005f); // about -66 dBFS of hiss
    std::vector<float> samples;
    for (const Part &part : parts) {
        for (long i = 0; i < part.length.count() * 16; ++i)
            samples.push_back(
                part.level * std::sin(float(samples.size()) * 2.0f * 3.14159f * 200.0f / 16000.0f) + noise(random));
    }
    return samples;
}

std::chrono::milliseconds length(const SpeechStretch &stretch)
{
    return std::chrono::milliseconds(stretch.samples.size() / 16);
}

QByteArray wav(quint16 tag, quint16 channels, quint32 rate, quint16 bits, const QByteArray &data, bool dataFirst)
{
    QByteArray fmt(16, '\0');
    qToLittleEndian<quint16>(tag, fmt.data());
    qToLittleEndian<quint16>(channels, fmt.data() + 2);
    qToLittleEndian<quint32>(rate, fmt.data() + 4);
    qToLittleEndian<quint32>(rate * channels * bits / 8, fmt.data() + 8);
    qToLittleEndian<quint16>(channels * bits / 8, fmt.data() + 12);
    qToLittleEndian<quint16>(bits, fmt.data() + 14);
    const auto chunk = [](const char *id, const QByteArray &body) {
        QByteArray bytes(id, 4);
        bytes += QByteArray(4, '\0');
        qToLittleEndian<quint32>(quint32(body.size()), bytes.data() + 4);
        return bytes + body + (body.size() % 2 ? QByteArray(1, '\0') : QByteArray());
    };
    const QByteArray chunks = dataFirst ? chunk("data", data) + chunk("LIST", "odd") + chunk("fmt ", fmt)
                                        : chunk("fmt ", fmt) + chunk("data", data);
    return "RIFF" + QByteArray(4, '\0') + "WAVE" + chunks;
}

} // namespace

TEST(LocalAudioTest, PauseDetectorCutsSpeechAtPauses)
{
    struct Row {
        const char *name;
        std::initializer_list<Part> audio;
        std::vector<std::chrono::milliseconds> lengths; // of each stretch, with 150 ms kept and 300 ms added
        std::vector<std::chrono::milliseconds> pauses;
    };
    const Row rows[] = {
        { "a pause splits two phrases", { { 2000ms, 0.3f }, { 800ms, 0 }, { 2000ms, 0.3f }, { 1000ms, 0 } },
            { 2450ms, 2650ms }, { 0ms, 800ms } },
        { "a short breath stays inside", { { 2000ms, 0.3f }, { 400ms, 0 }, { 2000ms, 0.1f }, { 700ms, 0 } }, { 4850ms },
            { 0ms } },
        { "a lone word waits for the next phrase", { { 500ms, 0.3f }, { 1000ms, 0 }, { 1500ms, 0.3f }, { 2000ms, 0 } },
            { 3450ms }, { 0ms } },
        { "silence and a click reach nobody", { { 3000ms, 0 }, { 40ms, 0.5f }, { 3000ms, 0 } }, {}, {} },
        { "the last word is padded when the recording stops", { { 600ms, 0 }, { 1000ms, 0.3f } }, { 1500ms },
            { 400ms } },
        { "a long monologue is cut at its quietest moment",
            { { 22000ms, 0.3f }, { 200ms, 0.02f }, { 8000ms, 0.3f }, { 1000ms, 0 } }, { 22400ms, 8540ms },
            { 0ms, 0ms } },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const std::vector<float> audio = synthesise(row.audio);
        PauseDetector detector;
        std::vector<SpeechStretch> stretches;
        for (std::size_t at = 0; at < audio.size(); at += 480) { // 30-ms chunks, not frame-aligned
            const auto chunk = std::span(audio).subspan(at, std::min<std::size_t>(480, audio.size() - at));
            for (SpeechStretch &stretch : detector.append(chunk))
                stretches.push_back(std::move(stretch));
        }
        for (SpeechStretch &stretch : detector.finish())
            stretches.push_back(std::move(stretch));
        ASSERT_EQ(stretches.size(), row.lengths.size());
        for (std::size_t i = 0; i < stretches.size(); ++i) {
            EXPECT_NEAR(length(stretches[i]).count(), row.lengths[i].count(), 60) << "stretch " << i;
            EXPECT_NEAR(stretches[i].pauseBefore.count(), row.pauses[i].count(), 260) << "stretch " << i;
            EXPECT_LE(length(stretches[i]), 25300ms);
            // Ends in the added silence: exact zeros.
            EXPECT_EQ(*std::max_element(stretches[i].samples.end() - 4800, stretches[i].samples.end()), 0.0f);
        }
    }
}

TEST(LocalAudioTest, WavFilesOfEveryPlainFormatRead)
{
    struct Row {
        quint16 tag;
        quint16 channels;
        quint32 rate;
        quint16 bits;
        QByteArray frame; // one frame, repeated 100 times
        float expected; // its mono value
    };
    const auto le32 = [](quint32 value) {
        QByteArray bytes(4, '\0');
        qToLittleEndian(value, bytes.data());
        return bytes;
    };
    float half = 0.5f;
    quint32 halfBits = 0;
    std::memcpy(&halfBits, &half, 4);
    const Row rows[] = {
        { 1, 1, 8000, 8, QByteArray(1, char(192)), 0.5f },
        { 1, 2, 44100, 16, QByteArray::fromHex("00400000"), 0.25f }, // 0.5 and 0 averaged
        { 1, 1, 48000, 24, QByteArray::fromHex("0000c0"), -0.5f },
        { 1, 1, 16000, 32, le32(0x40000000u), 0.5f },
        { 3, 1, 22050, 32, le32(halfBits), 0.5f },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.bits);
        for (const bool dataFirst : { false, true }) {
            const WavAudio audio
                = readWav(wav(row.tag, row.channels, row.rate, row.bits, row.frame.repeated(100), dataFirst));
            EXPECT_EQ(audio.sampleRate, row.rate);
            ASSERT_EQ(audio.samples.size(), 100u);
            EXPECT_NEAR(audio.samples[50], row.expected, 1e-4);
        }
    }

    QByteArray truncated = wav(1, 1, 8000, 16, QByteArray(100, '\0'), false);
    qToLittleEndian<quint32>(1000, truncated.data() + 40); // the data chunk's size
    const std::pair<QByteArray, QString> rejected[] = {
        { wav(1, 1, 0, 16, QByteArray(100, '\0'), false), u"частота 0 Гц"_s },
        { wav(1, 1, 1, 16, QByteArray(100, '\0'), false), u"частота 1 Гц"_s },
        { wav(1, 1, 10'000'000, 16, QByteArray(100, '\0'), false), u"частота 10000000 Гц"_s },
        { wav(1, 0, 8000, 16, QByteArray(100, '\0'), false), u"каналов — 0;"_s },
        { wav(1, 65535, 8000, 16, QByteArray(100, '\0'), false), u"каналов — 65535;"_s },
        { truncated, u"обещает 1000 байт звука, а в файле их 100"_s },
        { wav(2, 1, 8000, 4, QByteArray(100, '\0'), false), u"сжат"_s }, // ADPCM
        { wav(1, 1, 8000, 12, QByteArray(100, '\0'), false), u"12-битный"_s },
        { wav(3, 1, 8000, 64, QByteArray(800, '\0'), false), u"64-битный"_s },
        { "RIFF\0\0\0\0AVI LIST", u"не WAV"_s },
        { wav(1, 1, 8000, 16, {}, false).chopped(8), u"нет звука"_s },
        { wav(1, 1, 8000, 16, QByteArray(10, '\0'), true).chopped(10), u"обрывается"_s },
    };
    for (const auto &[file, reason] : rejected) {
        try {
            readWav(file);
            ADD_FAILURE() << "read: " << reason.toStdString();
        } catch (const LocalRecognitionError &error) {
            EXPECT_TRUE(error.description().contains(reason)) << error.description().toStdString();
        }
    }
    for (const double rate : { 0.0, 1.0, 1e7 })
        EXPECT_THROW(Resampler { rate }, LocalRecognitionError) << rate;
}
