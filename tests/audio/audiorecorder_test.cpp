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
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <numbers>
#include <vector>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// Chunks as the recorder hands them over, gathered from the capture thread.
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
    QList<QByteArray> chunks()
    {
        std::lock_guard guard(m_lock);
        return m_chunks;
    }
    qsizetype count()
    {
        std::lock_guard guard(m_lock);
        return m_chunks.size();
    }
    std::vector<qint16> samples()
    {
        std::vector<qint16> all;
        for (const QByteArray &chunk : chunks()) {
            const auto *begin = reinterpret_cast<const qint16 *>(chunk.constData());
            all.insert(all.end(), begin, begin + chunk.size() / 2);
        }
        return all;
    }

private:
    std::mutex m_lock;
    QList<QByteArray> m_chunks;
};

// Strongest frequency between 100 Hz and 6 kHz, in 5 Hz steps (Goertzel).
double dominantFrequency(const std::vector<qint16> &samples, double rate)
{
    double best = 0.0;
    double bestPower = -1.0;
    for (double frequency = 100.0; frequency <= 6000.0; frequency += 5.0) {
        const double coefficient = 2.0 * std::cos(2.0 * std::numbers::pi * frequency / rate);
        double previous = 0.0;
        double beforePrevious = 0.0;
        for (qint16 sample : samples) {
            const double current = sample + coefficient * previous - beforePrevious;
            beforePrevious = previous;
            previous = current;
        }
        const double power = previous * previous + beforePrevious * beforePrevious
                              - coefficient * previous * beforePrevious;
        if (power > bestPower) {
            bestPower = power;
            best = frequency;
        }
    }
    return best;
}

double rms(const std::vector<qint16> &samples, std::size_t from = 0, std::size_t to = SIZE_MAX)
{
    to = std::min(to, samples.size());
    if (from >= to)
        return 0.0;
    double sum = 0.0;
    for (std::size_t i = from; i < to; ++i)
        sum += double(samples[i]) * samples[i];
    return std::sqrt(sum / double(to - from));
}

// First and one-past-last sample louder than `threshold`.
std::pair<std::size_t, std::size_t> soundSpan(const std::vector<qint16> &samples, int threshold = 1000)
{
    std::size_t first = samples.size();
    std::size_t last = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (std::abs(int(samples[i])) > threshold) {
            first = std::min(first, i);
            last = i + 1;
        }
    }
    return {first, std::max(first, last)};
}

void expectWholeNonEmptyChunks(const QList<QByteArray> &chunks)
{
    for (const QByteArray &chunk : chunks) {
        EXPECT_GT(chunk.size(), 0);
        EXPECT_EQ(chunk.size() % 2, 0);
    }
}

// Interleaved frames of a 1 kHz tone (amplitude 0.5) in the given sample type.
QByteArray toneFrames(PCMConverter::SampleType type, double rate, unsigned channels, std::size_t frames,
                      std::size_t firstFrame = 0, bool invertSecondChannel = false)
{
    QByteArray out;
    for (std::size_t frame = firstFrame; frame < firstFrame + frames; ++frame) {
        const double value = 0.5 * std::sin(2.0 * std::numbers::pi * 1000.0 * double(frame) / rate);
        for (unsigned channel = 0; channel < channels; ++channel) {
            const double sample = (invertSecondChannel && channel == 1) ? -value : value;
            switch (type) {
            case PCMConverter::SampleType::int16: {
                const auto v = qint16(std::lround(sample * 32767.0));
                out.append(reinterpret_cast<const char *>(&v), sizeof v);
                break;
            }
            case PCMConverter::SampleType::int32: {
                const auto v = qint32(std::llround(sample * 2147483647.0));
                out.append(reinterpret_cast<const char *>(&v), sizeof v);
                break;
            }
            case PCMConverter::SampleType::float32: {
                const auto v = float(sample);
                out.append(reinterpret_cast<const char *>(&v), sizeof v);
                break;
            }
            }
        }
    }
    return out;
}

// Feeds one second of tone in 2048-frame buffers, then flushes.
void convertSecondOfTone(PCMConverter &converter, PCMConverter::SampleType type, double rate, unsigned channels,
                         ChunkLog &log, bool invertSecondChannel = false)
{
    const auto total = std::size_t(rate);
    for (std::size_t done = 0; done < total; done += 2048) {
        const std::size_t frames = std::min<std::size_t>(2048, total - done);
        const QByteArray input = toneFrames(type, rate, channels, frames, done, invertSecondChannel);
        converter.convert(input.constData(), frames, log.handler());
    }
    converter.flush(log.handler());
}

} // namespace

// ---- the converter, no sound server needed ----------------------------------

TEST(PCMConverterTest, OutputCapacityIsCeilingOfScaledFramesPlusEight)
{
    EXPECT_EQ(PCMConverter::outputCapacity(2048, 48000.0), 1032u);
    EXPECT_EQ(PCMConverter::outputCapacity(2048, 44100.0), 1123u);
    EXPECT_EQ(PCMConverter::outputCapacity(2048, 24000.0), 2056u);
    EXPECT_EQ(PCMConverter::outputCapacity(2048, 16000.0), 3080u);
}

TEST(PCMConverterTest, UnusableInputFormatIsRefused)
{
    for (const auto &[rate, channels] : {std::pair{0.0, 2u}, std::pair{48000.0, 0u}, std::pair{-1.0, 1u}}) {
        try {
            PCMConverter converter(PCMConverter::SampleType::float32, rate, channels);
            ADD_FAILURE() << "created for rate " << rate << " and " << channels << " channels";
        } catch (const AudioRecorderError &error) {
            EXPECT_EQ(error.errorCase(), AudioRecorderError::Case::converterCreationFailed);
            EXPECT_EQ(error.description(), u"Не удалось подготовить формат звука."_s);
        }
    }
}

struct ToneCase
{
    PCMConverter::SampleType type;
    double rate;
    unsigned channels;
};

class PCMConverterToneTest : public ::testing::TestWithParam<ToneCase>
{
};

TEST_P(PCMConverterToneTest, KeepsPitchLengthAndLevel)
{
    const ToneCase tone = GetParam();
    PCMConverter converter(tone.type, tone.rate, tone.channels);
    ChunkLog log;
    convertSecondOfTone(converter, tone.type, tone.rate, tone.channels, log);

    expectWholeNonEmptyChunks(log.chunks());
    const std::vector<qint16> samples = log.samples();
    EXPECT_NEAR(double(samples.size()), 24000.0, 24.0);
    EXPECT_NEAR(dominantFrequency(samples, 24000.0), 1000.0, 20.0);
    // A 0.5 full-scale sine has an RMS of 0.5/√2 of 32768, away from the edges.
    EXPECT_NEAR(rms(samples, 2000, 22000), 0.5 / std::numbers::sqrt2 * 32768.0, 300.0);
}

INSTANTIATE_TEST_SUITE_P(Formats, PCMConverterToneTest,
                         ::testing::Values(ToneCase{PCMConverter::SampleType::float32, 48000.0, 2},
                                           ToneCase{PCMConverter::SampleType::int16, 44100.0, 1},
                                           ToneCase{PCMConverter::SampleType::int32, 16000.0, 2},
                                           ToneCase{PCMConverter::SampleType::int16, 96000.0, 6},
                                           ToneCase{PCMConverter::SampleType::float32, 24000.0, 1}));

TEST(PCMConverterTest, AveragesChannelsIntoMono)
{
    // Opposite channels cancel only when they are averaged, not when one is picked.
    PCMConverter converter(PCMConverter::SampleType::float32, 48000.0, 2);
    ChunkLog log;
    convertSecondOfTone(converter, PCMConverter::SampleType::float32, 48000.0, 2, log, true);
    const std::vector<qint16> samples = log.samples();
    ASSERT_FALSE(samples.empty());
    EXPECT_LT(rms(samples), 2.0);
}

TEST(PCMConverterTest, InputAfterFlushIsIgnored)
{
    // The capture thread may still deliver a buffer after stop() flushed the
    // resampler; feeding soxr past its end of input would corrupt memory.
    PCMConverter converter(PCMConverter::SampleType::int16, 48000.0, 2);
    ChunkLog log;
    const QByteArray input = toneFrames(PCMConverter::SampleType::int16, 48000.0, 2, 2048);
    converter.convert(input.constData(), 2048, log.handler());
    converter.flush(log.handler());
    const qsizetype chunksAtEnd = log.count();
    ASSERT_GT(chunksAtEnd, 0);
    for (int i = 0; i < 20; ++i)
        converter.convert(input.constData(), 2047, log.handler());
    converter.flush(log.handler());
    EXPECT_EQ(log.count(), chunksAtEnd);
}

TEST(PCMConverterTest, BufferBoundariesLeaveNoSeams)
{
    // The resampler's state runs on between buffers: small odd-sized buffers
    // give the same stream as one large buffer.
    const QByteArray input = toneFrames(PCMConverter::SampleType::int16, 44100.0, 2, 44100);
    ChunkLog whole;
    ChunkLog pieces;
    PCMConverter wholeConverter(PCMConverter::SampleType::int16, 44100.0, 2);
    wholeConverter.convert(input.constData(), 44100, whole.handler());
    wholeConverter.flush(whole.handler());
    PCMConverter pieceConverter(PCMConverter::SampleType::int16, 44100.0, 2);
    for (std::size_t frame = 0; frame < 44100; frame += 333) {
        const std::size_t frames = std::min<std::size_t>(333, 44100 - frame);
        pieceConverter.convert(input.constData() + frame * 4, frames, pieces.handler());
    }
    pieceConverter.flush(pieces.handler());

    const std::vector<qint16> a = whole.samples();
    const std::vector<qint16> b = pieces.samples();
    ASSERT_EQ(a.size(), b.size());
    int worst = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        worst = std::max(worst, std::abs(int(a[i]) - int(b[i])));
    EXPECT_LE(worst, 1);
}

// ---- the recorder against the session's PulseAudio -------------------------

namespace {

QString runTool(const QString &program, const QStringList &arguments, int timeoutMs = 30'000)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        ADD_FAILURE() << program.toStdString() << ' ' << arguments.join(u' ').toStdString() << " failed: "
                      << process.readAllStandardError().toStdString();
        process.kill();
        process.waitForFinished();
        return {};
    }
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// A null sink of its own whose monitor is the default source while it lives.
class TestSink
{
public:
    TestSink(int rate, int channels, const QString &format)
        : m_name(u"verbulo_test_%1_%2"_s.arg(QCoreApplication::applicationPid()).arg(rate))
    {
        m_module = runTool(u"pactl"_s, {u"load-module"_s, u"module-null-sink"_s, u"sink_name="_s + m_name,
                                        u"rate=%1"_s.arg(rate), u"channels=%1"_s.arg(channels),
                                        u"format="_s + format});
        runTool(u"pactl"_s, {u"set-default-source"_s, m_name + u".monitor"_s});
    }
    ~TestSink()
    {
        runTool(u"pactl"_s, {u"set-default-source"_s, u"verbulo_sink.monitor"_s});
        if (!m_module.isEmpty())
            runTool(u"pactl"_s, {u"unload-module"_s, m_module});
    }
    const QString &name() const { return m_name; }

private:
    QString m_name;
    QString m_module;
};

class AudioRecorderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("VERBULO_HEADLESS_SESSION"))
            GTEST_SKIP() << "needs the headless session's PulseAudio";
        // These tests move the server's default source and play into it;
        // ctest runs them in parallel processes, so they take turns.
        m_lock = std::make_unique<QLockFile>(qEnvironmentVariable("XDG_RUNTIME_DIR", QDir::tempPath())
                                             + u"/verbulo-audio-tests.lock"_s);
        m_lock->setStaleLockTime(0);
        ASSERT_TRUE(m_lock->tryLock(120'000));
        ASSERT_TRUE(m_dir.isValid());
    }

    QString path(const QString &name) const { return m_dir.filePath(name); }

    std::unique_ptr<QLockFile> m_lock;
    QTemporaryDir m_dir;
};

// Restores PULSE_SERVER when a test is done with it.
class PulseServerOverride
{
public:
    explicit PulseServerOverride(const QByteArray &server)
        : m_hadValue(qEnvironmentVariableIsSet("PULSE_SERVER"))
        , m_previous(qgetenv("PULSE_SERVER"))
    {
        qputenv("PULSE_SERVER", server);
    }
    ~PulseServerOverride()
    {
        if (m_hadValue)
            qputenv("PULSE_SERVER", m_previous);
        else
            qunsetenv("PULSE_SERVER");
    }

private:
    bool m_hadValue;
    QByteArray m_previous;
};

// Samples of a 16-bit mono WAV file such as espeak-ng writes, and its rate.
std::pair<std::vector<qint16>, int> readWav(const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    if (bytes.size() < 44 || !bytes.startsWith("RIFF"))
        return {};
    int rate = 0;
    for (qsizetype at = 12; at + 8 <= bytes.size();) {
        const QByteArray id = bytes.mid(at, 4);
        quint32 size = 0;
        std::memcpy(&size, bytes.constData() + at + 4, 4);
        if (id == "fmt ")
            std::memcpy(&rate, bytes.constData() + at + 12, 4);
        if (id == "data") {
            const qsizetype available = std::min<qsizetype>(size, bytes.size() - at - 8);
            const auto *begin = reinterpret_cast<const qint16 *>(bytes.constData() + at + 8);
            return {std::vector<qint16>(begin, begin + available / 2), rate};
        }
        at += 8 + size + (size & 1);
    }
    return {};
}

} // namespace

TEST_F(AudioRecorderTest, RecordsSpeechPlayedIntoTheDefaultSource)
{
    const QString speech = path(u"speech.wav"_s);
    runTool(u"espeak-ng"_s, {u"-v"_s, u"ru"_s, u"-w"_s, speech,
                             u"Проверка записи с микрофона. Раз, два, три, четыре, пять."_s});
    const auto [played, playedRate] = readWav(speech);
    ASSERT_FALSE(played.empty());
    ASSERT_GT(playedRate, 0);
    const auto [playedFirst, playedEnd] = soundSpan(played);
    const double playedSeconds = double(playedEnd - playedFirst) / playedRate;
    ASSERT_GT(playedSeconds, 1.0);

    AudioRecorder recorder;
    ChunkLog log;
    recorder.start(log.handler());
    ASSERT_TRUE(recorder.isRunning());
    QThread::msleep(200);
    runTool(u"paplay"_s, {u"--device=verbulo_sink"_s, speech});
    QThread::msleep(400);
    recorder.stop();
    EXPECT_FALSE(recorder.isRunning());

    const QList<QByteArray> chunks = log.chunks();
    expectWholeNonEmptyChunks(chunks);
    const std::vector<qint16> recorded = log.samples();
    const auto [first, end] = soundSpan(recorded);
    ASSERT_LT(first, end) << "nothing above silence was recorded";
    const double recordedSeconds = double(end - first) / 24000.0;
    EXPECT_NEAR(recordedSeconds, playedSeconds, playedSeconds * 0.1);
    EXPECT_GT(rms(recorded, first, end), 0.5 * rms(played, playedFirst, playedEnd));

    // Nothing reaches the handler once stop() has returned.
    const qsizetype afterStop = log.count();
    QThread::msleep(150);
    EXPECT_EQ(log.count(), afterStop);
}

struct SourceCase
{
    int rate;
    int channels;
    const char *format;
};

void PrintTo(const SourceCase &source, std::ostream *out)
{
    *out << source.rate << " Hz, " << source.channels << " ch, " << source.format;
}

class AudioRecorderToneTest : public AudioRecorderTest, public ::testing::WithParamInterface<SourceCase>
{
};

TEST_P(AudioRecorderToneTest, ConvertsRateAndChannelsOfTheSource)
{
    const auto [rate, channels, format] = GetParam();
    const QString tone = path(u"tone.raw"_s);
    {
        QFile file(tone);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(toneFrames(PCMConverter::SampleType::float32, rate, channels, std::size_t(rate)));
    }
    TestSink sink(rate, channels, QString::fromLatin1(format));

    AudioRecorder recorder;
    ChunkLog log;
    recorder.start(log.handler());
    runTool(u"pacat"_s, {u"--playback"_s, u"--device="_s + sink.name(), u"--format=float32le"_s,
                         u"--rate=%1"_s.arg(rate), u"--channels=%1"_s.arg(channels), tone});
    QThread::msleep(300);
    recorder.stop();

    expectWholeNonEmptyChunks(log.chunks());
    const std::vector<qint16> recorded = log.samples();
    const auto [first, end] = soundSpan(recorded);
    ASSERT_GT(end - first, 12000u) << "less than half a second of tone was recorded";
    const std::vector<qint16> toneOnly(recorded.begin() + qsizetype(first), recorded.begin() + qsizetype(end));
    EXPECT_NEAR(dominantFrequency(toneOnly, 24000.0), 1000.0, 20.0);
}

INSTANTIATE_TEST_SUITE_P(Sources, AudioRecorderToneTest,
                         ::testing::Values(SourceCase{48000, 2, "s16le"}, SourceCase{44100, 1, "float32le"},
                                           SourceCase{32000, 2, "s24le"}));

TEST_F(AudioRecorderTest, SecondStartKeepsTheFirstHandlerAndStopIsIdempotent)
{
    AudioRecorder recorder;
    recorder.stop(); // never started: nothing happens
    EXPECT_FALSE(recorder.isRunning());

    ChunkLog first;
    ChunkLog second;
    recorder.start(first.handler());
    recorder.start(second.handler());
    EXPECT_TRUE(recorder.isRunning());
    EXPECT_TRUE(TestUtil::runUntil([&] { return first.count() >= 3; }, 10s));
    recorder.stop();
    recorder.stop();
    EXPECT_FALSE(recorder.isRunning());
    EXPECT_EQ(second.count(), 0);

    // A stopped recorder starts a fresh recording.
    ChunkLog third;
    recorder.start(third.handler());
    EXPECT_TRUE(TestUtil::runUntil([&] { return third.count() >= 1; }, 10s));
    recorder.stop();
}

TEST_F(AudioRecorderTest, UnreachableServerFailsQuicklyAndLaterStartWorks)
{
    AudioRecorder recorder;
    ChunkLog log;
    {
        PulseServerOverride server("unix:" + QFile::encodeName(path(u"no-such-socket"_s)));
        QElapsedTimer elapsed;
        elapsed.start();
        try {
            recorder.start(log.handler());
            ADD_FAILURE() << "started without a server";
        } catch (const AudioRecorderError &error) {
            EXPECT_EQ(error.errorCase(), AudioRecorderError::Case::soundServer);
            EXPECT_TRUE(error.description().startsWith(u"Не удалось начать запись: "_s));
            EXPECT_FALSE(error.message().isEmpty());
        }
        EXPECT_LT(elapsed.elapsed(), 3000);
        EXPECT_FALSE(recorder.isRunning());
    }
    recorder.start(log.handler());
    EXPECT_TRUE(recorder.isRunning());
    EXPECT_TRUE(TestUtil::runUntil([&] { return log.count() >= 1; }, 10s));
    recorder.stop();
}

TEST_F(AudioRecorderTest, ServerThatNeverAnswersFailsWithinThreeSeconds)
{
    // A socket that accepts connections but never speaks the protocol.
    QLocalServer silent;
    ASSERT_TRUE(silent.listen(path(u"silent"_s)));
    PulseServerOverride server("unix:" + QFile::encodeName(silent.fullServerName()));

    AudioRecorder recorder;
    ChunkLog log;
    QElapsedTimer elapsed;
    elapsed.start();
    EXPECT_THROW(recorder.start(log.handler()), AudioRecorderError);
    EXPECT_LT(elapsed.elapsed(), 3000);
    EXPECT_FALSE(recorder.isRunning());
    EXPECT_EQ(log.count(), 0);
}

TEST_F(AudioRecorderTest, ServerWithoutSourcesReportsNoMicrophone)
{
    // A private daemon with no sink and no source at all.
    const QString socket = path(u"empty-native"_s);
    QProcess daemon;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    QDir().mkpath(path(u"home"_s));
    QDir().mkpath(path(u"run"_s));
    environment.insert(u"HOME"_s, path(u"home"_s));
    environment.insert(u"XDG_RUNTIME_DIR"_s, path(u"run"_s));
    environment.insert(u"XDG_CONFIG_HOME"_s, path(u"home"_s));
    environment.remove(u"DBUS_SESSION_BUS_ADDRESS"_s);
    daemon.setProcessEnvironment(environment);
    daemon.start(u"pulseaudio"_s, {u"-n"_s, u"--daemonize=no"_s, u"--exit-idle-time=-1"_s,
                                   u"--load=module-native-protocol-unix socket="_s + socket});
    ASSERT_TRUE(daemon.waitForStarted());
    const auto stopDaemon = qScopeGuard([&] {
        daemon.terminate();
        if (!daemon.waitForFinished(5000)) {
            daemon.kill();
            daemon.waitForFinished();
        }
    });
    // Ready once it answers, not merely once the socket file exists.
    const auto answers = [&] {
        QProcess probe;
        QProcessEnvironment probeEnvironment = QProcessEnvironment::systemEnvironment();
        probeEnvironment.insert(u"PULSE_SERVER"_s, u"unix:"_s + socket);
        probe.setProcessEnvironment(probeEnvironment);
        probe.start(u"pactl"_s, {u"info"_s});
        return probe.waitForFinished(5000) && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0;
    };
    ASSERT_TRUE(TestUtil::runUntil(answers, 15s));

    PulseServerOverride server("unix:" + QFile::encodeName(socket));
    AudioRecorder recorder;
    ChunkLog log;
    try {
        recorder.start(log.handler());
        ADD_FAILURE() << "started without a source";
    } catch (const AudioRecorderError &error) {
        EXPECT_EQ(error.errorCase(), AudioRecorderError::Case::noInputDevice);
        EXPECT_EQ(error.description(), u"Микрофон не найден."_s);
    }
    EXPECT_FALSE(recorder.isRunning());
}
