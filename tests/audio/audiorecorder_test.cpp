#include "audio/audiorecorder.h"
#include "audio/audiorecordererror.h"
#include "audio/pcmbuffercollector.h"
#include "audio/pcmconverter.h"
#include "core/appsettings.h"
#include "core/dictationsessioncontroller.h"
#include "fakeneighbours.h"
#include "services/local/pausedetector.h"
#include "services/local/resampler.h"

#include "stallmeter.h"
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
#include <numeric>
#include <optional>
#include <semaphore>
#include <tuple>
#include <utility>
#include <vector>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Samples = std::vector<qint16>;
using SampleType = PCMConverter::SampleType;

namespace {

// Chunks as the recorder hands them over on the capture thread, checked to be non-empty whole samples.
class ChunkLog {
public:
    AbstractAudioRecorder::PCMHandler handler()
    {
        return [this](const QByteArray &chunk) {
            EXPECT_TRUE(!chunk.isEmpty() && chunk.size() % 2 == 0);
            std::lock_guard guard(m_lock);
            m_bytes.append(chunk);
            ++m_count;
        };
    }
    qsizetype count()
    {
        std::lock_guard guard(m_lock);
        return m_count;
    }
    Samples samples()
    {
        std::lock_guard guard(m_lock);
        const auto *begin = reinterpret_cast<const qint16 *>(m_bytes.constData());
        return Samples(begin, begin + m_bytes.size() / 2);
    }

private:
    std::mutex m_lock;
    QByteArray m_bytes;
    qsizetype m_count = 0;
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

double rms(const Samples &s)
{
    return s.empty() ? 0.0 : std::sqrt(std::inner_product(s.begin(), s.end(), s.begin(), 0.0) / double(s.size()));
}

// The part between the first and the last sample louder than silence.
Samples sound(const Samples &samples)
{
    const auto loud = [](qint16 sample) { return std::abs(int(sample)) > 1000; };
    const auto first = std::find_if(samples.begin(), samples.end(), loud);
    const auto last = std::find_if(samples.rbegin(), samples.rend(), loud).base();
    return first < last ? Samples(first, last) : Samples();
}

// Interleaved frames of a 1 kHz tone at half scale once the channels are averaged: with more
// than one, they alternate a quarter and three quarters of full scale, so picking a channel,
// summing or dividing by the wrong count is off by half.
QByteArray toneFrames(SampleType type, double rate, unsigned channels, std::size_t frames, std::size_t from = 0)
{
    QByteArray out;
    const auto put = [&out](auto value) { out.append(reinterpret_cast<const char *>(&value), sizeof value); };
    for (std::size_t frame = from; frame < from + frames; ++frame) {
        const double value = std::sin(2.0 * std::numbers::pi * 1000.0 * double(frame) / rate);
        for (unsigned channel = 0; channel < channels; ++channel) {
            const double sample = (channels == 1 ? 0.5 : channel % 2 ? 0.75 : 0.25) * value;
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

// One second of tone through a converter in buffers of `bufferFrames`, then the flush.
Samples convertSecondOfTone(SampleType type, double rate, unsigned channels, std::size_t bufferFrames = 2048)
{
    PCMConverter converter(type, rate, channels);
    ChunkLog log;
    for (std::size_t done = 0; done < std::size_t(rate); done += bufferFrames) {
        const std::size_t frames = std::min(bufferFrames, std::size_t(rate) - done);
        converter.convert(toneFrames(type, rate, channels, frames, done).constData(), frames, log.handler());
    }
    converter.flush(log.handler());
    // A buffer may still arrive after stop() flushed: soxr must not be fed past its end of input.
    const qsizetype atEnd = log.count();
    converter.convert(toneFrames(type, rate, channels, bufferFrames).constData(), bufferFrames, log.handler());
    converter.flush(log.handler());
    EXPECT_EQ(log.count(), atEnd);
    return log.samples();
}

TEST(PCMConverterTest, KeepsPitchLengthAndLevelWhateverTheFormatAndBuffers)
{
    const std::tuple<SampleType, double, unsigned> formats[]
        = { { SampleType::float32, 48000.0, 2 }, { SampleType::int16, 44100.0, 1 }, { SampleType::int32, 16000.0, 2 },
              { SampleType::int16, 96000.0, 6 }, { SampleType::float32, 24000.0, 1 } };
    static const char *const names[] = { "int16", "int32", "float32" };
    for (const auto &[type, rate, channels] : formats) {
        SCOPED_TRACE(::testing::Message() << names[int(type)] << ", " << rate << " Hz, " << channels << " ch");
        const Samples samples = convertSecondOfTone(type, rate, channels);
        EXPECT_NEAR(double(samples.size()), 24000.0, 24.0);
        EXPECT_NEAR(dominantFrequency(samples), 1000.0, 20.0);
        // Half scale sine: RMS of 0.5/√2 full scale, away from the filter's edges.
        EXPECT_NEAR(
            rms(Samples(samples.begin() + 2000, samples.end() - 2000)), 0.5 / std::numbers::sqrt2 * 32768.0, 300.0);
        // The resampler's state runs on between buffers: odd small buffers give the same stream.
        const Samples pieces = convertSecondOfTone(type, rate, channels, 333);
        ASSERT_EQ(pieces.size(), samples.size());
        for (std::size_t i = 0; i < samples.size(); ++i)
            ASSERT_LE(std::abs(int(samples[i]) - int(pieces[i])), 1) << "at sample " << i;
    }
}

QByteArray runTool(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (process.waitForFinished(30'000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return process.readAllStandardOutput().trimmed();
    ADD_FAILURE() << program.toStdString() << " failed: " << process.readAllStandardError().toStdString();
    process.kill();
    process.waitForFinished();
    return {};
}

QCoro::Task<std::optional<AudioRecorderError>> tryStart(
    AudioRecorder &recorder, AbstractAudioRecorder::PCMHandler handler)
{
    std::optional<AudioRecorderError> failure;
    try {
        co_await recorder.start(std::move(handler), {});
    } catch (const AudioRecorderError &error) {
        failure = error;
    }
    co_return failure;
}

class AudioRecorderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("VERBULO_HEADLESS_SESSION"))
            GTEST_SKIP() << "needs the headless session's PulseAudio";
        ASSERT_TRUE(qEnvironmentVariableIsEmpty("PULSE_SERVER"));
        // These tests move the server's default source and play into it, in parallel processes: they take turns.
        m_turn.setStaleLockTime(0);
        ASSERT_TRUE(m_turn.tryLock(120'000));
        ASSERT_TRUE(m_dir.isValid());
    }
    void TearDown() override
    {
        qunsetenv("PULSE_SERVER");
        if (m_turn.isLocked())
            runTool(u"pactl"_s, { u"set-default-source"_s, u"verbulo_sink.monitor"_s });
    }

    // A null sink of the test's own whose monitor is the default source; its module.
    static QString useNullSink(const QString &sink, const QStringList &options = {})
    {
        const QString module = QString::fromLatin1(runTool(
            u"pactl"_s, QStringList { u"load-module"_s, u"module-null-sink"_s, u"sink_name="_s + sink } + options));
        runTool(u"pactl"_s, { u"set-default-source"_s, sink + u".monitor"_s });
        return module;
    }

    QString path(const QString &name) const { return m_dir.filePath(name); }
    // Starts the recorder and waits until it runs: the error it threw, if any.
    std::optional<AudioRecorderError> start(AbstractAudioRecorder::PCMHandler handler)
    {
        return QCoro::waitFor(tryStart(m_recorder, std::move(handler)));
    }
    // Starts the recorder against the server at `socket`.
    std::optional<AudioRecorderError> startAgainst(const QString &socket)
    {
        qputenv("PULSE_SERVER", "unix:" + QFile::encodeName(socket));
        const auto restore = qScopeGuard([] { qunsetenv("PULSE_SERVER"); });
        return start(m_log.handler());
    }

    // A daemon of its own without any source, off the session bus (where the session's
    // daemon holds the name) and with a runtime directory of its own; its socket once it answers.
    QString startPrivateServer(QProcess &daemon)
    {
        const QString socket = path(u"private-native"_s);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"XDG_RUNTIME_DIR"_s, m_dir.path());
        environment.remove(u"DBUS_SESSION_BUS_ADDRESS"_s);
        daemon.setProcessEnvironment(environment);
        daemon.start(u"pulseaudio"_s,
            { u"-n"_s, u"--daemonize=no"_s, u"--exit-idle-time=-1"_s,
                u"--load=module-native-protocol-unix socket="_s + socket });
        EXPECT_TRUE(TestUtil::runUntil(
            [&] {
                QProcess pactl;
                pactl.start(u"pactl"_s, { u"--server=unix:"_s + socket, u"info"_s });
                return pactl.waitForFinished() && pactl.exitStatus() == QProcess::NormalExit && pactl.exitCode() == 0;
            },
            15s));
        return socket;
    }

    QLockFile m_turn { qEnvironmentVariable("XDG_RUNTIME_DIR", QDir::tempPath()) + u"/verbulo-audio-tests.lock"_s };
    QTemporaryDir m_dir;
    // Declared before the recorder so that it outlives a recording still running when a test ends.
    ChunkLog m_log;
    AudioRecorder m_recorder;
};

// A second of tone played into the default source comes back whole, at its pitch and level, whatever the source's
// format.
TEST_F(AudioRecorderTest, RecordsWhatIsPlayedIntoTheDefaultSource)
{
    // The three capture paths: 16-bit as is, float as is, 24-bit converted by the server.
    const std::tuple<int, int, const char *> sources[]
        = { { 48000, 2, "s16le" }, { 44100, 1, "float32le" }, { 32000, 2, "s24le" } };
    const QString sink = u"verbulo_test_%1"_s.arg(QCoreApplication::applicationPid()), tone = path(u"tone.raw"_s);
    for (const auto &[rate, channels, format] : sources) {
        SCOPED_TRACE(::testing::Message() << rate << " Hz, " << channels << " ch, " << format);
        QFile file(tone);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(toneFrames(SampleType::float32, rate, channels, std::size_t(rate)));
        file.close();
        const QString module = useNullSink(
            sink, { u"rate=%1"_s.arg(rate), u"channels=%1"_s.arg(channels), u"format="_s + QLatin1StringView(format) });
        const auto unload = qScopeGuard([&] { runTool(u"pactl"_s, { u"unload-module"_s, module }); });

        ChunkLog log;
        ASSERT_FALSE(start(log.handler()));
        runTool(u"pacat"_s,
            { u"--playback"_s, u"--device="_s + sink, u"--format=float32le"_s, u"--rate=%1"_s.arg(rate),
                u"--channels=%1"_s.arg(channels), tone });
        QThread::msleep(300);
        m_recorder.stop().waitForFinished(); // before `log` goes: the capture thread writes into it

        const Samples recorded = sound(log.samples());
        EXPECT_NEAR(double(recorded.size()), 24000.0, 2400.0);
        EXPECT_NEAR(dominantFrequency(recorded), 1000.0, 20.0);
        EXPECT_GT(rms(recorded), 0.25 / std::numbers::sqrt2 * 32768.0);
    }
}

// Three Russian phrases spoken into the microphone with 1-s pauses between them, in a quiet
// room and over steady noise from the first sample, reach the recogniser as three stretches
// of speech, and the noise or silence around them never does.
TEST_F(AudioRecorderTest, SpeechFromTheSourceIsCutAtItsPausesInAQuietOrNoisyRoom)
{
    const QString sink = u"verbulo_speech_%1"_s.arg(QCoreApplication::applicationPid());
    const QString module = useNullSink(sink);
    const auto unload = qScopeGuard([&] { runTool(u"pactl"_s, { u"unload-module"_s, module }); });
    // A second of silence before, between and after the phrases, then the room from the first sample on.
    const QString speech = path(u"speech.wav"_s), played = path(u"played.wav"_s);
    runTool(u"espeak-ng"_s,
        { u"-v"_s, u"ru"_s, u"-m"_s, u"-w"_s, speech,
            u"<speak>Первая фраза диктовки в шумной комнате.<break time='1s'/>Вот вторая фраза, чуть длиннее "
            u"первой.<break time='1s'/>И третья фраза.<break time='1s'/></speak>"_s });
    // sox's pink and brown noise come out at about -13.5 and -5 dBFS: -40 and -34 dBFS here.
    for (const QString &room : { u"pinknoise vol 0"_s, u"pinknoise vol -26.5dB"_s, u"brownnoise vol -29dB"_s }) {
        SCOPED_TRACE(room.toStdString());
        runTool(u"sox"_s,
            { u"-m"_s, u"-v"_s, u"1"_s, u"|sox "_s + speech + u" -p pad 1"_s, u"-v"_s, u"1"_s,
                u"|sox -R -n -r 22050 -c 1 -p synth 12 "_s + room, played });
        ChunkLog log;
        ASSERT_FALSE(start(log.handler()));
        runTool(u"paplay"_s, { u"--device="_s + sink, played });
        QThread::msleep(300);
        m_recorder.stop().waitForFinished();

        const Samples recorded = log.samples();
        QByteArray pcm(reinterpret_cast<const char *>(recorded.data()), qsizetype(recorded.size() * 2));
        Resampler resampler(24000);
        PauseDetector detector;
        std::vector<SpeechStretch> stretches = detector.append(resampler.processPCM16(pcm));
        for (SpeechStretch &last : detector.finish())
            stretches.push_back(std::move(last));
        ASSERT_EQ(stretches.size(), 3u);
        EXPECT_GE(stretches[0].start, 700ms);
        for (const SpeechStretch &stretch : stretches)
            EXPECT_LT(stretch.samples.size(), std::size_t(PauseDetector::sampleRate * 4)) << "no silence carried along";
        EXPECT_GE(stretches[1].pauseBefore, 700ms);
    }
}

TEST_F(AudioRecorderTest, FailedStartEndsWithinThreeSecondsSaysWhyAndStartStopCanBeRepeated)
{
    m_recorder.stop(); // never started: nothing happens
    // No socket at all, and a socket that accepts connections but never speaks the protocol.
    QLocalServer silent;
    ASSERT_TRUE(silent.listen(path(u"silent"_s)));
    // Meanwhile the main thread runs on: the server is waited for elsewhere.
    auto stall = std::make_unique<StallMeter>();
    for (const QString &socket : { path(u"no-such-socket"_s), silent.fullServerName() }) {
        QElapsedTimer elapsed;
        elapsed.start();
        const std::optional<AudioRecorderError> error = startAgainst(socket);
        EXPECT_LT(elapsed.elapsed(), 3000) << socket.toStdString();
        ASSERT_TRUE(error) << "started against " << socket.toStdString();
        EXPECT_EQ(error->errorCase(), AudioRecorderError::Case::soundServer);
        EXPECT_FALSE(error->message().isEmpty()); // PulseAudio's own description
        EXPECT_FALSE(m_recorder.isRunning());
    }
    EXPECT_LT(stall->longestMilliseconds(), 500.0);
    stall.reset();
    // A server without any source.
    QProcess daemon;
    const std::optional<AudioRecorderError> error = startAgainst(startPrivateServer(daemon));
    ASSERT_TRUE(error) << "started without a source";
    EXPECT_EQ(error->errorCase(), AudioRecorderError::Case::noInputDevice);
    EXPECT_EQ(error->description(), u"Микрофон не найден."_s);
    daemon.kill(), daemon.waitForFinished();

    // Back on the real server; a second start keeps the first handler.
    ChunkLog second;
    EXPECT_FALSE(start(m_log.handler()));
    EXPECT_FALSE(start(second.handler()));
    EXPECT_TRUE(m_recorder.isRunning());
    EXPECT_TRUE(TestUtil::runUntil([&] { return m_log.count() >= 3; }, 10s));
    m_recorder.stop();
    m_recorder.stop().waitForFinished();
    EXPECT_FALSE(m_recorder.isRunning());
    EXPECT_EQ(second.count(), 0);

    // A start given up while it opens never records; the next one waits for it to settle.
    ChunkLog third;
    const auto givenUp = tryStart(m_recorder, second.handler());
    m_recorder.stop();
    EXPECT_FALSE(start(third.handler()));
    EXPECT_TRUE(TestUtil::runUntil([&] { return third.count() >= 1; }, 10s));
    const qsizetype late = second.count();
    TestUtil::runFor(200ms);
    EXPECT_EQ(second.count(), late) << "the given-up capture still records";
    m_recorder.stop().waitForFinished(); // before `third` goes: the capture thread writes into it
}

// The main thread never waits for the capture thread: stop() returns while a chunk is still being
// handed over, and the end of the stream comes after the last one.
TEST_F(AudioRecorderTest, StopReturnsWhileTheCaptureThreadIsBusyAndTheEndComesAfterTheLastChunk)
{
    std::binary_semaphore busy(0), release(0);
    std::atomic<bool> holding = true, waitedOut = false;
    ASSERT_FALSE(start([&, log = m_log.handler()](const QByteArray &chunk) {
        log(chunk);
        if (holding.exchange(false)) {
            busy.release();
            waitedOut = !release.try_acquire_for(5s);
        }
    }));
    ASSERT_TRUE(busy.try_acquire_for(10s));
    QFuture<void> ended = m_recorder.stop();
    release.release();
    ended.waitForFinished();
    EXPECT_FALSE(waitedOut) << "stop() waited for the capture thread";
    const qsizetype atEnd = m_log.count();
    QThread::msleep(150);
    EXPECT_EQ(m_log.count(), atEnd);
}

// Counts what reaches the collector: what the dictation must hand on, no less.
class CountingCollector final : public AbstractPCMCollector {
public:
    explicit CountingCollector(std::shared_ptr<std::atomic<qsizetype>> appended)
        : m_appended(std::move(appended))
    {
    }
    void append(const QByteArray &bytes) override
    {
        m_inner.append(bytes);
        *m_appended += bytes.size();
    }
    QByteArray takeAll() override { return m_inner.takeAll(); }

private:
    PCMBufferCollector m_inner;
    std::shared_ptr<std::atomic<qsizetype>> m_appended;
};

// The microphone in use unplugged.
TEST_F(AudioRecorderTest, AtAMicrophoneLossTheDictationEndsAtOnceWithAllThatWasRecordedAndSaysWhy)
{
    TestUtil::clearSettings();
    AppSettings::setBool(AppSettings::Keys::onboardingCompleted, true);
    FakeNeighbourhood f;
    f.vorsik.answer.value = u"текст"_s;
    auto appended = std::make_shared<std::atomic<qsizetype>>(0);
    DictationSessionController::Neighbours neighbours = f.neighbours();
    neighbours.audioRecorder = &m_recorder;
    neighbours.makeCollector = [appended] { return std::make_unique<CountingCollector>(appended); };
    DictationSessionController controller(neighbours);

    const QString module = useNullSink(u"verbulo_lost_%1"_s.arg(QCoreApplication::applicationPid()));

    controller.toggleFnDictation();
    ASSERT_TRUE(TestUtil::runUntil([&] { return *appended >= 19200; }, 10s)) << "0.4 s recorded before the fault";
    runTool(u"pactl"_s, { u"unload-module"_s, module });
    QElapsedTimer sinceFault;
    sinceFault.start();
    ASSERT_TRUE(TestUtil::runUntil([&] { return controller.state() != DictationState::recording; }, 5s));
    EXPECT_LT(sinceFault.elapsed(), 500);
    ASSERT_TRUE(TestUtil::runUntil([&] { return controller.state() == DictationState::idle; }));
    EXPECT_EQ(f.vorsik.pcm.size(), appended->load()) << "everything recorded was sent";
    const QString note = u"Запись прервалась: микрофон пропал."_s;
    EXPECT_TRUE(f.log->contains(u"overlay.transcript|"_s + note));
    EXPECT_EQ(f.log->last(), u"overlay.message|✓  Текст вставлен|%1|success|3500"_s.arg(note));
}

} // namespace
