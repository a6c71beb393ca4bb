#include "services/local/localrecognitionerror.h"
#include "services/local/pausedetector.h"
#include "services/local/resampler.h"
#include "services/local/wavreader.h"
#include "testutil.h"

#include <QtEndian>

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// A part of a recording: speech of peak amplitude `speech` (0: none) over a background of
// `noise` dBFS, white noise and a 100-Hz hum in equal shares, as a fan gives.
struct Part {
    std::chrono::milliseconds length;
    double speech, noise = -60;
};

// Speech stand-in: 200-ms syllables, each eight harmonics of a gliding 140-Hz voice under a
// sine envelope, so that its level falls between syllables as speech's does.
std::vector<float> synthesise(const std::vector<Part> &parts)
{
    std::mt19937 random(7);
    std::normal_distribution<double> white(0.0, std::sqrt(0.5));
    std::vector<float> samples;
    for (const Part &part : parts)
        for (long i = 0; i < part.length.count() * 16; ++i) {
            const double t = double(samples.size()) / 16000.0;
            double voice = 0;
            for (int harmonic = 1; harmonic <= 8; ++harmonic)
                voice += std::sin(harmonic * 2 * std::numbers::pi * (140 * t - 5 * std::cos(4 * t))) / harmonic;
            voice *= part.speech * std::abs(std::sin(std::numbers::pi * double(i) / 3200.0));
            const double noise = white(random) + std::sin(2 * std::numbers::pi * 100 * t);
            samples.push_back(float(voice + std::pow(10.0, part.noise / 20.0) * noise));
        }
    return samples;
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

// Each stretch holds the speech of the parts it names, from 200 ms before it to 150 ms after
// it (or the recording's end), padded with 300 ms, 25 s at most: all that reaches the recogniser.
TEST(LocalAudioTest, PauseDetectorCutsSpeechAtPausesOverAnySteadyBackground)
{
    constexpr double voice = 0.2; // peaks about -15 dBFS, syllables' troughs down to the room
    struct Row {
        std::string name;
        std::vector<Part> audio;
        std::vector<std::pair<int, int>> stretches; // the first and the last part of each
    };
    std::vector<Row> rows;
    for (const double room : { -60.0, -48.0, -40.0, -34.0 })
        rows.push_back({ "phrases over " + std::to_string(int(room)) + " dBFS: a lone word waits, a breath stays in",
            { { 1000ms, 0, room }, { 500ms, voice, room }, { 1000ms, 0, room }, { 1500ms, voice, room },
                { 1000ms, 0, room }, { 2000ms, voice, room }, { 400ms, 0, room }, { 1600ms, voice, room },
                { 1000ms, 0, room }, { 2000ms, voice, room } },
            { { 1, 3 }, { 5, 7 }, { 9, 9 } } });
    rows.insert(rows.end(),
        { { "fans start in a pause and in a phrase, and stop",
              { { 2000ms, voice }, { 300ms, 0 }, { 1000ms, 0, -40 }, { 2000ms, voice, -40 }, { 1000ms, 0 },
                  { 1000ms, voice }, { 1400ms, voice, -34 }, { 1000ms, 0, -34 }, { 2000ms, voice, -34 },
                  { 1000ms, 0, -34 } },
              { { 0, 0 }, { 3, 3 }, { 5, 6 }, { 8, 8 } } },
            { "a noisy first second under the first words",
                { { 400ms, 0, -34 }, { 600ms, voice, -34 }, { 1400ms, voice }, { 1000ms, 0 }, { 2000ms, voice } },
                { { 1, 2 }, { 4, 4 } } },
            { "noise alone and a click reach nobody",
                { { 3000ms, 0 }, { 40ms, 0.5 }, { 2000ms, 0 }, { 3000ms, 0, -40 }, { 1000ms, 0 }, { 3000ms, 0, -34 } },
                {} },
            { "a long monologue is cut at its quietest moment",
                { { 22000ms, voice }, { 200ms, 0 }, { 8000ms, voice }, { 1000ms, 0 } }, { { 0, 0 }, { 2, 2 } } },
            { "a minute without a pause is cut for length", { { 1000ms, 0 }, { 60000ms, voice }, { 1000ms, 0 } },
                { { 1, 1 } } },
            { "a pause just past the limit with the pre-roll counted",
                { { 1000ms, 0 }, { 24600ms, voice }, { 400ms, 0 }, { 10000ms, voice }, { 1000ms, 0 } },
                { { 1, 3 } } } });
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const std::vector<float> audio = synthesise(row.audio);
        std::vector<std::chrono::milliseconds> partStart { 0ms };
        for (const Part &part : row.audio)
            partStart.push_back(partStart.back() + part.length);
        PauseDetector detector; // fed in two parts, split inside a frame
        std::vector<SpeechStretch> stretches = detector.append(std::span(audio).first(audio.size() / 2 + 7));
        std::ranges::move(detector.append(std::span(audio).last(audio.size() / 2 - 7)), std::back_inserter(stretches));
        std::ranges::move(detector.finish(), std::back_inserter(stretches));
        // A cut for length has no pause before it: the stretches on both sides touch, checked as one.
        for (std::size_t i = 0; i < stretches.size(); ++i) {
            EXPECT_LE(stretches[i].samples.size(), 25u * 16000) << i;
            if (i == 0 || stretches[i].pauseBefore >= 150ms)
                continue;
            SpeechStretch &before = stretches[i - 1];
            EXPECT_EQ(before.start + std::chrono::milliseconds(before.samples.size() / 16) - 300ms, stretches[i].start);
            before.samples.resize(
                stretches[i].samples.size() + std::size_t((stretches[i].start - before.start).count()) * 16);
            stretches.erase(stretches.begin() + std::ptrdiff_t(i--));
        }
        ASSERT_EQ(stretches.size(), row.stretches.size());
        for (std::size_t i = 0; i < stretches.size(); ++i) {
            const auto [first, last] = row.stretches[i];
            const auto end = stretches[i].start + std::chrono::milliseconds(stretches[i].samples.size() / 16) - 300ms;
            EXPECT_NEAR(stretches[i].start.count(), std::max(0ms, partStart[first] - 200ms).count(), 120) << i;
            EXPECT_NEAR(end.count(), std::min(partStart.back(), partStart[last + 1] + 150ms).count(), 120) << i;
            const auto previousEnd = i == 0 ? 0ms : partStart[row.stretches[i - 1].second + 1];
            EXPECT_NEAR(stretches[i].pauseBefore.count(), (partStart[first] - previousEnd).count(), 120) << i;
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
