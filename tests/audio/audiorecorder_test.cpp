#include "audiorecorder.h"
#include "audiorecordererror.h"
#include "pcmconverter.h"

#include "testutil.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLockFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <numbers>
#include <utility>
#include <vector>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Samples = std::vector<qint16>;
using SampleType = PCMConverter::SampleType;

namespace {

// Chunks as the recorder hands them over on the capture thread.
class ChunkLog
{
public:
    AbstractAudioRecorder::PCMHandler handler()
    {
        return [this](const QByteArray &chunk) {
            std::lock_guard guard(m_lock);
            m_chunks.append(chunk);
        };
    }
    qsizetype count()
    {
        std::lock_guard guard(m_lock);
        return m_chunks.size();
    }
    // The recording, checking on the way that every chunk is non-empty whole samples.
    Samples samples()
    {
        std::lock_guard guard(m_lock);
        Samples all;
        for (const QByteArray &chunk : std::as_const(m_chunks)) {
            EXPECT_GT(chunk.size(), 0);
            EXPECT_EQ(chunk.size() % 2, 0);
            const auto *begin = reinterpret_cast<const qint16 *>(chunk.constData());
            all.insert(all.end(), begin, begin + chunk.size() / 2);
        }
        return all;
    }

private:
    std::mutex m_lock;
    QList<QByteArray> m_chunks;
};

// Strongest frequency from 100 Hz to 6 kHz in 5 Hz steps (Goertzel), at 24 kHz.
double dominantFrequency(const Samples &samples)
{
    double best = 0.0, bestPower = -1.0;
    for (double frequency = 100.0; frequency <= 6000.0; frequency += 5.0) {
        const double coefficient = 2.0 * std::cos(2.0 * std::numbers::pi * frequency / 24000.0);
        double s1 = 0.0, s2 = 0.0;
        for (qint16 sample : samples)
            s2 = std::exchange(s1, sample + coefficient * s1 - s2);
        const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
        if (power > bestPower)
            bestPower = power, best = frequency;
    }
    return best;
}

double rms(const Samples &samples)
{
    double sum = 0.0;
    for (qint16 sample : samples)
        sum += double(sample) * sample;
    return samples.empty() ? 0.0 : std::sqrt(sum / double(samples.size()));
}

// The part between the first and the last sample louder than the threshold.
Samples sound(const Samples &samples, int threshold = 1000)
{
    const auto loud = [threshold](qint16 sample) { return std::abs(int(sample)) > threshold; };
    const auto first = std::find_if(samples.begin(), samples.end(), loud);
    const auto last = std::find_if(samples.rbegin(), samples.rend(), loud).base();
    return first < last ? Samples(first, last) : Samples();
}

// Interleaved frames of a 1 kHz tone at half scale; the second channel may be inverted.
QByteArray toneFrames(SampleType type, double rate, unsigned channels, std::size_t frames, std::size_t from = 0,
                      bool invertSecond = false)
{
    QByteArray out;
    const auto put = [&out](auto value) { out.append(reinterpret_cast<const char *>(&value), sizeof value); };
    for (std::size_t frame = from; frame < from + frames; ++frame) {
        const double value = 0.5 * std::sin(2.0 * std::numbers::pi * 1000.0 * double(frame) / rate);
        for (unsigned channel = 0; channel < channels; ++channel) {
            const double sample = (invertSecond && channel == 1) ? -value : value;
            if (type == SampleType::int16)
                put(qint16(std::lround(sample * 32767.0)));
            else if (type == SampleType::int32)
                put(qint32(std::llround(sample * 2147483647.0)));
            else
                put(float(sample));
        }
    }
    return out;
}

// One second of tone through a converter in 2048-frame buffers, then the flush.
Samples convertSecondOfTone(SampleType type, double rate, unsigned channels, bool invertSecond = false)
{
    PCMConverter converter(type, rate, channels);
    ChunkLog log;
    for (std::size_t done = 0; done < std::size_t(rate); done += 2048) {
        const std::size_t frames = std::min<std::size_t>(2048, std::size_t(rate) - done);
        converter.convert(toneFrames(type, rate, channels, frames, done, invertSecond).constData(), frames,
                          log.handler());
    }
    converter.flush(log.handler());
    return log.samples();
}

} // namespace

// ---- the converter ------------------------------------------------------------

TEST(PCMConverterTest, OutputCapacityIsCeilingOfScaledFramesPlusEight)
{
    EXPECT_EQ(PCMConverter::outputCapacity(2048, 48000.0), 1032u);
    EXPECT_EQ(PCMConverter::outputCapacity(2048, 44100.0), 1123u);
    EXPECT_EQ(PCMConverter::outputCapacity(2048, 16000.0), 3080u);
}

struct ToneCase
{
    SampleType type;
    double rate;
    unsigned channels;
};

void PrintTo(const ToneCase &tone, std::ostream *out)
{
    static const char *const names[] = {"int16", "int32", "float32"};
    *out << names[int(tone.type)] << ' ' << tone.rate << " Hz " << tone.channels << " ch";
}

class PCMConverterToneTest : public ::testing::TestWithParam<ToneCase>
{
};

TEST_P(PCMConverterToneTest, KeepsPitchLengthAndLevel)
{
    const Samples samples = convertSecondOfTone(GetParam().type, GetParam().rate, GetParam().channels);
    EXPECT_NEAR(double(samples.size()), 24000.0, 24.0);
    EXPECT_NEAR(dominantFrequency(samples), 1000.0, 20.0);
    // Half scale sine: RMS of 0.5/√2 full scale, away from the filter's edges.
    EXPECT_NEAR(rms(Samples(samples.begin() + 2000, samples.end() - 2000)), 0.5 / std::numbers::sqrt2 * 32768.0,
                300.0);
}

INSTANTIATE_TEST_SUITE_P(Formats, PCMConverterToneTest,
                         ::testing::Values(ToneCase{SampleType::float32, 48000.0, 2},
                                           ToneCase{SampleType::int16, 44100.0, 1},
                                           ToneCase{SampleType::int32, 16000.0, 2},
                                           ToneCase{SampleType::int16, 96000.0, 6},
                                           ToneCase{SampleType::float32, 24000.0, 1}));

TEST(PCMConverterTest, AveragesChannelsIntoMono)
{
    // Opposite channels cancel only when averaged, not when one is picked.
    const Samples samples = convertSecondOfTone(SampleType::float32, 48000.0, 2, true);
    ASSERT_FALSE(samples.empty());
    EXPECT_LT(rms(samples), 2.0);
}

TEST(PCMConverterTest, BufferBoundariesLeaveNoSeams)
{
    // The resampler's state runs on between buffers: odd small buffers give the
    // stream one large buffer gives.
    const QByteArray input = toneFrames(SampleType::int16, 44100.0, 2, 44100);
    ChunkLog whole, pieces;
    PCMConverter wholeConverter(SampleType::int16, 44100.0, 2), pieceConverter(SampleType::int16, 44100.0, 2);
    wholeConverter.convert(input.constData(), 44100, whole.handler());
    wholeConverter.flush(whole.handler());
    for (std::size_t frame = 0; frame < 44100; frame += 333)
        pieceConverter.convert(input.constData() + frame * 4, std::min<std::size_t>(333, 44100 - frame),
                               pieces.handler());
    pieceConverter.flush(pieces.handler());

    const Samples a = whole.samples(), b = pieces.samples();
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i)
        ASSERT_LE(std::abs(int(a[i]) - int(b[i])), 1) << "at sample " << i;
}

TEST(PCMConverterTest, InputAfterFlushIsIgnored)
{
    // A buffer may still arrive after stop() flushed the resampler; soxr must not
    // be fed past its end of input.
    PCMConverter converter(SampleType::int16, 48000.0, 2);
    ChunkLog log;
    const QByteArray input = toneFrames(SampleType::int16, 48000.0, 2, 2048);
    converter.convert(input.constData(), 2048, log.handler());
    converter.flush(log.handler());
    const qsizetype chunksAtEnd = log.count();
    ASSERT_GT(chunksAtEnd, 0);
    for (int i = 0; i < 20; ++i)
        converter.convert(input.constData(), 2047, log.handler());
    converter.flush(log.handler());
    EXPECT_EQ(log.count(), chunksAtEnd);
}

// ---- the recorder against the session's PulseAudio ----------------------------

namespace {

QByteArray runTool(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment =
                                                                             QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (process.waitForFinished(30'000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return process.readAllStandardOutput().trimmed();
    ADD_FAILURE() << program.toStdString() << " failed: " << process.readAllStandardError().toStdString();
    process.kill();
    process.waitForFinished();
    return {};
}

// A null sink of the test's own whose monitor is the default source while it lives.
class TestSink
{
public:
    TestSink(int rate, int channels, const char *format)
        : m_name(u"verbulo_test_%1"_s.arg(QCoreApplication::applicationPid()))
        , m_module(runTool(u"pactl"_s, {u"load-module"_s, u"module-null-sink"_s, u"sink_name="_s + m_name,
                                        u"rate=%1"_s.arg(rate), u"channels=%1"_s.arg(channels),
                                        u"format="_s + QLatin1StringView(format)}))
    {
        runTool(u"pactl"_s, {u"set-default-source"_s, m_name + u".monitor"_s});
    }
    ~TestSink()
    {
        runTool(u"pactl"_s, {u"set-default-source"_s, u"verbulo_sink.monitor"_s});
        runTool(u"pactl"_s, {u"unload-module"_s, QString::fromLatin1(m_module)});
    }
    const QString m_name;
    const QByteArray m_module;
};

// Points PULSE_SERVER elsewhere for one scope.
class ServerOverride
{
public:
    explicit ServerOverride(const QString &socket) { qputenv("PULSE_SERVER", "unix:" + QFile::encodeName(socket)); }
    ~ServerOverride() { qunsetenv("PULSE_SERVER"); }
};

class AudioRecorderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("VERBULO_HEADLESS_SESSION"))
            GTEST_SKIP() << "needs the headless session's PulseAudio";
        ASSERT_TRUE(qEnvironmentVariableIsEmpty("PULSE_SERVER"));
        // These tests move the server's default source and play into it, and
        // ctest runs them in parallel processes: they take turns.
        m_turn.setStaleLockTime(0);
        ASSERT_TRUE(m_turn.tryLock(120'000));
        ASSERT_TRUE(m_dir.isValid());
    }

    QString path(const QString &name) const { return m_dir.filePath(name); }

    QLockFile m_turn{qEnvironmentVariable("XDG_RUNTIME_DIR", QDir::tempPath()) + u"/verbulo-audio-tests.lock"_s};
    QTemporaryDir m_dir;
    // Declared before the recorder so that it outlives a recording still running
    // when a test ends.
    ChunkLog m_log;
    AudioRecorder m_recorder;
};

} // namespace

TEST_F(AudioRecorderTest, RecordsSpeechPlayedIntoTheDefaultSource)
{
    const QString speech = path(u"speech.wav"_s);
    runTool(u"espeak-ng"_s, {u"-v"_s, u"ru"_s, u"-w"_s, speech, u"Проверка записи с микрофона. Раз, два, три."_s});
    // What was played, in the recording's own format, to compare against.
    const QByteArray reference = runTool(u"sox"_s, {speech, u"-t"_s, u"raw"_s, u"-e"_s, u"signed"_s, u"-b"_s,
                                                    u"16"_s, u"-c"_s, u"1"_s, u"-r"_s, u"24000"_s, u"-"_s});
    const Samples played = sound(Samples(reinterpret_cast<const qint16 *>(reference.constData()),
                                         reinterpret_cast<const qint16 *>(reference.constData()) + reference.size() / 2));
    ASSERT_GT(played.size(), 24000u);

    m_recorder.start(m_log.handler());
    ASSERT_TRUE(m_recorder.isRunning());
    QThread::msleep(200);
    runTool(u"paplay"_s, {u"--device=verbulo_sink"_s, speech});
    QThread::msleep(400);
    m_recorder.stop();
    EXPECT_FALSE(m_recorder.isRunning());

    const Samples recorded = sound(m_log.samples());
    EXPECT_NEAR(double(recorded.size()), double(played.size()), double(played.size()) * 0.1);
    EXPECT_GT(rms(recorded), 0.5 * rms(played));

    // Nothing reaches the handler once stop() has returned.
    const qsizetype afterStop = m_log.count();
    QThread::msleep(150);
    EXPECT_EQ(m_log.count(), afterStop);
}

struct SourceCase
{
    int rate;
    int channels;
    const char *format;
};

void PrintTo(const SourceCase &source, std::ostream *out)
{
    *out << source.rate << " Hz " << source.channels << " ch " << source.format;
}

class AudioRecorderToneTest : public AudioRecorderTest, public ::testing::WithParamInterface<SourceCase>
{
};

TEST_P(AudioRecorderToneTest, ConvertsRateAndChannelsOfTheSource)
{
    const auto [rate, channels, format] = GetParam();
    const QString tone = path(u"tone.raw"_s);
    QFile file(tone);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(toneFrames(SampleType::float32, rate, channels, std::size_t(rate)));
    file.close();
    TestSink sink(rate, channels, format);

    m_recorder.start(m_log.handler());
    runTool(u"pacat"_s, {u"--playback"_s, u"--device="_s + sink.m_name, u"--format=float32le"_s,
                         u"--rate=%1"_s.arg(rate), u"--channels=%1"_s.arg(channels), tone});
    QThread::msleep(300);
    m_recorder.stop();

    const Samples recorded = sound(m_log.samples());
    ASSERT_GT(recorded.size(), 12000u) << "less than half a second of tone was recorded";
    EXPECT_NEAR(dominantFrequency(recorded), 1000.0, 20.0);
}

// The three capture paths: 16-bit as is, float as is, 24-bit converted by the server.
INSTANTIATE_TEST_SUITE_P(Sources, AudioRecorderToneTest,
                         ::testing::Values(SourceCase{48000, 2, "s16le"}, SourceCase{44100, 1, "float32le"},
                                           SourceCase{32000, 2, "s24le"}));

TEST_F(AudioRecorderTest, SecondStartKeepsTheFirstHandlerAndStopIsIdempotent)
{
    m_recorder.stop(); // never started: nothing happens
    EXPECT_FALSE(m_recorder.isRunning());

    ChunkLog second;
    m_recorder.start(m_log.handler());
    m_recorder.start(second.handler());
    EXPECT_TRUE(m_recorder.isRunning());
    EXPECT_TRUE(TestUtil::runUntil([&] { return m_log.count() >= 3; }, 10s));
    m_recorder.stop();
    m_recorder.stop();
    EXPECT_FALSE(m_recorder.isRunning());
    EXPECT_EQ(second.count(), 0);

    ChunkLog third;
    m_recorder.start(third.handler());
    EXPECT_TRUE(TestUtil::runUntil([&] { return third.count() >= 1; }, 10s));
    m_recorder.stop(); // before `third` goes: the capture thread writes into it
}

TEST_F(AudioRecorderTest, ServerFailuresEndStartWithinThreeSecondsAndAllowARetry)
{
    // A socket that accepts connections but never speaks the protocol.
    QLocalServer silent;
    ASSERT_TRUE(silent.listen(path(u"silent"_s)));
    for (const QString &socket : {path(u"no-such-socket"_s), silent.fullServerName()}) {
        ServerOverride server(socket);
        QElapsedTimer elapsed;
        elapsed.start();
        try {
            m_recorder.start(m_log.handler());
            ADD_FAILURE() << "started against " << socket.toStdString();
        } catch (const AudioRecorderError &error) {
            EXPECT_EQ(error.errorCase(), AudioRecorderError::Case::soundServer);
            EXPECT_FALSE(error.message().isEmpty()); // PulseAudio's own description
        }
        EXPECT_LT(elapsed.elapsed(), 3000) << socket.toStdString();
        EXPECT_FALSE(m_recorder.isRunning());
    }
    // Back on the real server.
    m_recorder.start(m_log.handler());
    EXPECT_TRUE(TestUtil::runUntil([&] { return m_log.count() >= 1; }, 10s));
}

TEST_F(AudioRecorderTest, ServerWithoutSourcesReportsNoMicrophone)
{
    // A private daemon with no sink and no source at all.
    const QString socket = path(u"empty-native"_s);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString &variable : {u"HOME"_s, u"XDG_RUNTIME_DIR"_s, u"XDG_CONFIG_HOME"_s}) {
        QDir().mkpath(path(variable));
        environment.insert(variable, path(variable));
    }
    environment.remove(u"DBUS_SESSION_BUS_ADDRESS"_s);
    QProcess daemon;
    daemon.setProcessEnvironment(environment);
    daemon.start(u"pulseaudio"_s, {u"-n"_s, u"--daemonize=no"_s, u"--exit-idle-time=-1"_s,
                                   u"--load=module-native-protocol-unix socket="_s + socket});
    const auto stopDaemon = qScopeGuard([&] {
        daemon.terminate();
        if (!daemon.waitForFinished(5000))
            daemon.kill(), daemon.waitForFinished();
    });
    environment.insert(u"PULSE_SERVER"_s, u"unix:"_s + socket);
    ASSERT_TRUE(TestUtil::runUntil(
        [&] {
            QProcess probe;
            probe.setProcessEnvironment(environment);
            probe.start(u"pactl"_s, {u"info"_s});
            return probe.waitForFinished(5000) && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0;
        },
        15s));

    ServerOverride server(socket);
    try {
        m_recorder.start(m_log.handler());
        ADD_FAILURE() << "started without a source";
    } catch (const AudioRecorderError &error) {
        EXPECT_EQ(error.errorCase(), AudioRecorderError::Case::noInputDevice);
        EXPECT_EQ(error.description(), u"Микрофон не найден."_s);
    }
    EXPECT_FALSE(m_recorder.isRunning());
}
