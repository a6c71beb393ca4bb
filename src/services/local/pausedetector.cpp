#include "services/local/pausedetector.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <utility>

namespace {

// Below this RMS (about -50 dBFS) nothing counts as speech, however quiet the room.
constexpr float speechFloor = 0.003f;
// Speech stands this far above the background (about 10 dB).
constexpr float speechOverNoise = 3.2f;
// The background is the level that this share of the last frames stays under: low enough to
// be the room between syllables while someone talks, high enough to ignore a lone dropout.
constexpr std::size_t backgroundFrames = 75; // 1.5 s
constexpr std::size_t backgroundRank = 15; // the lowest of every 15, about 7 %

float threshold(float background) { return std::max(speechFloor, background * speechOverNoise); }

// A second-order Butterworth high-pass at 100 Hz for the level only: mains hum, traffic rumble
// and most of a fan's drone lie below it, the voice above.
struct HighPassCoefficients {
    float b0, b1, b2, a1, a2;
};
const HighPassCoefficients highPassCoefficients = [] {
    const double w0 = 2 * std::numbers::pi * 100.0 / PauseDetector::sampleRate;
    const double alpha = std::sin(w0) / std::numbers::sqrt2; // sin(w0) / 2Q, Q = 1/√2
    const double a0 = 1 + alpha;
    const double b = (1 + std::cos(w0)) / 2 / a0;
    return HighPassCoefficients { float(b), float(-2 * b), float(b), float(-2 * std::cos(w0) / a0),
        float((1 - alpha) / a0) };
}();

std::chrono::milliseconds duration(std::size_t samples)
{
    return std::chrono::milliseconds(samples * 1000 / PauseDetector::sampleRate);
}

} // namespace

PauseDetector::PauseDetector()
    : PauseDetector(Settings {})
{
}

PauseDetector::PauseDetector(Settings settings)
    : m_settings(settings)
{
}

std::size_t PauseDetector::frames(std::chrono::milliseconds length) const
{
    return std::size_t(length.count()) * 50 / 1000;
}

std::size_t PauseDetector::pauseAfter(std::size_t speechFrames) const
{
    return frames(speechFrames < frames(m_settings.shortStretch) ? m_settings.shortStretchPause : m_settings.pause);
}

std::vector<SpeechStretch> PauseDetector::append(std::span<const float> samples)
{
    while (!samples.empty()) {
        const std::size_t take = std::min(samples.size(), frameLength - m_pending.size());
        m_pending.insert(m_pending.end(), samples.begin(), samples.begin() + std::ptrdiff_t(take));
        samples = samples.subspan(take);
        if (m_pending.size() == frameLength) {
            addFrame(m_pending);
            m_pending.clear();
        }
    }
    return std::exchange(m_closed, {});
}

float PauseDetector::highPass(float sample)
{
    const HighPassCoefficients &c = highPassCoefficients;
    auto &[x1, x2, y1, y2] = m_filter;
    const float out = c.b0 * sample + c.b1 * x1 + c.b2 * x2 - c.a1 * y1 - c.a2 * y2;
    x2 = std::exchange(x1, sample);
    y2 = std::exchange(y1, out);
    return out;
}

void PauseDetector::addFrame(std::span<const float> frame)
{
    double energy = 0;
    for (const float sample : frame) {
        const float high = highPass(sample);
        energy += double(high) * high;
    }
    const auto level = float(std::sqrt(energy / double(frame.size())));

    m_recentLevels.push_back(level);
    if (m_recentLevels.size() > backgroundFrames)
        m_recentLevels.pop_front();
    std::array<float, backgroundFrames + 1> sorted {};
    const auto end = std::copy(m_recentLevels.begin(), m_recentLevels.end(), sorted.begin());
    const auto rank = sorted.begin() + std::ptrdiff_t(m_recentLevels.size() / backgroundRank);
    std::nth_element(sorted.begin(), rank, end);
    m_background = *rank;

    const bool speech = level > threshold(m_background);
    m_samples.insert(m_samples.end(), frame.begin(), frame.end());
    m_frames.push_back({ level, m_background, speech });
    m_position += frame.size();

    if (!m_open) {
        m_open = speech;
        m_silentRun = 0;
        if (!m_open) // keep only the pre-roll
            dropFrames(m_frames.size() - std::min(m_frames.size(), frames(m_settings.preRoll)));
        return;
    }

    m_silentRun = speech ? 0 : m_silentRun + 1;
    const auto speechFrames
        = std::size_t(std::count_if(m_frames.begin(), m_frames.end(), [](const Frame &frame) { return frame.speech; }));
    if (m_silentRun >= pauseAfter(speechFrames)) {
        close(m_frames.size());
    } else if (m_frames.size() >= frames(m_settings.maximumStretch - m_settings.padding)) {
        // The frames held include the pre-roll; with the padding the recogniser gets no more than
        // the maximum, what it takes in one call. Cut in the middle of the quietest 200 ms of the
        // last five seconds: most likely between words.
        constexpr std::size_t window = 10;
        const std::size_t from = m_frames.size() - std::min(m_frames.size() - 1, frames(std::chrono::seconds(5)));
        std::size_t quietest = from;
        double quietestSum = INFINITY;
        for (std::size_t at = from; at + window <= m_frames.size(); ++at) {
            double sum = 0;
            for (std::size_t i = at; i < at + window; ++i)
                sum += m_frames[i].level;
            if (sum < quietestSum)
                quietestSum = sum, quietest = at;
        }
        close(std::min(quietest + window / 2, m_frames.size()));
    }
}

void PauseDetector::dropFrames(std::size_t count)
{
    m_samples.erase(m_samples.begin(), m_samples.begin() + std::ptrdiff_t(count * frameLength));
    m_frames.erase(m_frames.begin(), m_frames.begin() + std::ptrdiff_t(count));
    m_start += count * frameLength;
}

// Hands out the speech in the first `frameCount` frames; what follows stays, as the next
// stretch (after a cut in speech) or as pre-roll (after a pause). Each frame is judged again,
// also against the background learnt once the frames after it had been heard: a noise that
// started during the stretch then no longer passes for speech, and a pause it filled divides
// the speech around it.
void PauseDetector::close(std::size_t frameCount)
{
    const auto standsOut = [this](std::size_t i) {
        const float later = m_frames[std::min(i + backgroundFrames, m_frames.size() - 1)].background;
        return m_frames[i].level > threshold(std::max(m_frames[i].background, later));
    };
    std::size_t handedUntil = 0; // frames already in a stretch
    const auto handOut = [&](std::size_t first, std::size_t speechEnd, std::size_t speechFrames) {
        if (speechFrames < std::max<std::size_t>(1, frames(m_settings.minimumSpeech)))
            return;
        const std::size_t begin = std::max(handedUntil, first - std::min(first, frames(m_settings.preRoll)));
        const std::size_t end = std::min(frameCount, speechEnd + frames(m_settings.keptAfterSpeech));
        SpeechStretch stretch;
        stretch.samples.assign(m_samples.begin() + std::ptrdiff_t(begin * frameLength),
            m_samples.begin() + std::ptrdiff_t(end * frameLength));
        stretch.samples.resize(
            stretch.samples.size() + std::size_t(m_settings.padding.count()) * sampleRate / 1000, 0.0f);
        stretch.start = duration(m_start + begin * frameLength);
        const std::size_t speechStart = m_start + first * frameLength;
        stretch.pauseBefore = duration(speechStart - std::min(speechStart, m_lastSpeechEnd));
        m_lastSpeechEnd = m_start + speechEnd * frameLength;
        m_closed.push_back(std::move(stretch));
        handedUntil = end;
    };
    std::size_t first = 0, last = 0, speechFrames = 0; // of the run of speech being gathered
    for (std::size_t i = 0; i < frameCount; ++i) {
        if (!standsOut(i))
            continue;
        if (speechFrames > 0 && i - last > pauseAfter(speechFrames)) {
            handOut(first, last + 1, speechFrames);
            speechFrames = 0;
        }
        if (speechFrames++ == 0)
            first = i;
        last = i;
    }
    if (speechFrames > 0)
        handOut(first, last + 1, speechFrames);

    dropFrames(frameCount);
    m_silentRun = 0;
    m_open = std::any_of(m_frames.begin(), m_frames.end(), [](const Frame &frame) { return frame.speech; });
    if (!m_open)
        dropFrames(m_frames.size() - std::min(m_frames.size(), frames(m_settings.preRoll)));
}

std::vector<SpeechStretch> PauseDetector::finish()
{
    if (!m_pending.empty()) {
        m_pending.resize(frameLength, 0.0f);
        addFrame(m_pending);
        m_pending.clear();
    }
    if (m_open)
        close(m_frames.size());
    m_open = false;
    dropFrames(m_frames.size());
    return std::exchange(m_closed, {});
}
