#include "pausedetector.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

// Below this RMS (about -50 dBFS) nothing counts as speech, however quiet the room.
constexpr float speechFloor = 0.003f;
// Speech stands this far above the background (about 10 dB).
constexpr float speechOverNoise = 3.2f;

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

void PauseDetector::addFrame(std::span<const float> frame)
{
    double energy = 0;
    for (const float sample : frame)
        energy += double(sample) * sample;
    const auto level = float(std::sqrt(energy / double(frame.size())));
    const bool speech = level > std::max(speechFloor, m_noise * speechOverNoise);
    // The background follows quiet frames slowly and drops at once to a quieter one.
    if (!speech)
        m_noise = level < m_noise ? level : m_noise * 0.95f + level * 0.05f;
    m_noise = std::max(m_noise, 1e-5f);

    m_samples.insert(m_samples.end(), frame.begin(), frame.end());
    m_frameLevel.push_back(level);
    m_frameSpeech.push_back(speech);
    m_position += frame.size();

    if (!m_open) {
        if (speech) {
            m_open = true;
            m_start = m_position - m_samples.size();
            m_silentRun = 0;
            return;
        }
        // Keep only the pre-roll.
        const std::size_t keep = frames(m_settings.preRoll);
        if (m_frameLevel.size() > keep) {
            const std::size_t drop = m_frameLevel.size() - keep;
            m_samples.erase(m_samples.begin(), m_samples.begin() + std::ptrdiff_t(drop * frameLength));
            m_frameLevel.erase(m_frameLevel.begin(), m_frameLevel.begin() + std::ptrdiff_t(drop));
            m_frameSpeech.erase(m_frameSpeech.begin(), m_frameSpeech.begin() + std::ptrdiff_t(drop));
        }
        return;
    }

    m_silentRun = speech ? 0 : m_silentRun + 1;
    const auto speechFrames = std::size_t(std::count(m_frameSpeech.begin(), m_frameSpeech.end(), true));
    const std::size_t pause
        = frames(speechFrames < frames(m_settings.shortStretch) ? m_settings.shortStretchPause : m_settings.pause);
    if (m_silentRun >= pause) {
        if (auto stretch = close(m_frameLevel.size()))
            m_closed.push_back(std::move(*stretch));
        return;
    }
    if (m_frameLevel.size() >= frames(m_settings.maximumStretch)) {
        // Cut where it is quietest in the last five seconds: most likely between words.
        const std::size_t from
            = m_frameLevel.size() - std::min(m_frameLevel.size() - 1, frames(std::chrono::seconds(5)));
        const auto quietest = std::size_t(
            std::min_element(m_frameLevel.begin() + std::ptrdiff_t(from), m_frameLevel.end()) - m_frameLevel.begin());
        if (auto stretch = close(quietest))
            m_closed.push_back(std::move(*stretch));
    }
}

// Hands out the open stretch's first `frameCount` frames; what follows stays, as the next
// stretch (after a cut in speech) or as pre-roll (after a pause).
std::optional<SpeechStretch> PauseDetector::close(std::size_t frameCount)
{
    const auto speechBegin = m_frameSpeech.begin();
    const auto speechEnd = m_frameSpeech.begin() + std::ptrdiff_t(frameCount);
    const auto speechFrames = std::size_t(std::count(speechBegin, speechEnd, true));
    const auto lastSpeech
        = std::find(std::make_reverse_iterator(speechEnd), std::make_reverse_iterator(speechBegin), true);
    const std::size_t speechUntil = std::size_t(std::make_reverse_iterator(speechBegin) - lastSpeech); // frames

    std::optional<SpeechStretch> stretch;
    if (speechFrames >= std::max<std::size_t>(1, frames(m_settings.minimumSpeech))) {
        const std::size_t kept = std::min(frameCount, speechUntil + frames(m_settings.keptAfterSpeech));
        stretch = SpeechStretch {};
        stretch->samples.assign(m_samples.begin(), m_samples.begin() + std::ptrdiff_t(kept * frameLength));
        stretch->samples.resize(
            stretch->samples.size() + std::size_t(m_settings.padding.count()) * sampleRate / 1000, 0.0f);
        stretch->start = duration(m_start);
        stretch->pauseBefore = duration(m_start - std::min(m_start, m_lastSpeechEnd));
        m_lastSpeechEnd = m_start + speechUntil * frameLength;
    }

    m_samples.erase(m_samples.begin(), m_samples.begin() + std::ptrdiff_t(frameCount * frameLength));
    m_frameLevel.erase(m_frameLevel.begin(), m_frameLevel.begin() + std::ptrdiff_t(frameCount));
    m_frameSpeech.erase(m_frameSpeech.begin(), m_frameSpeech.begin() + std::ptrdiff_t(frameCount));
    m_start += frameCount * frameLength;
    m_silentRun = 0;
    m_open = std::find(m_frameSpeech.begin(), m_frameSpeech.end(), true) != m_frameSpeech.end();
    if (!m_open) {
        const std::size_t keep = std::min(m_frameLevel.size(), frames(m_settings.preRoll));
        const std::size_t drop = m_frameLevel.size() - keep;
        m_samples.erase(m_samples.begin(), m_samples.begin() + std::ptrdiff_t(drop * frameLength));
        m_frameLevel.erase(m_frameLevel.begin(), m_frameLevel.begin() + std::ptrdiff_t(drop));
        m_frameSpeech.erase(m_frameSpeech.begin(), m_frameSpeech.begin() + std::ptrdiff_t(drop));
    }
    return stretch;
}

std::vector<SpeechStretch> PauseDetector::finish()
{
    if (!m_pending.empty()) {
        m_pending.resize(frameLength, 0.0f);
        addFrame(m_pending);
        m_pending.clear();
    }
    std::vector<SpeechStretch> last = std::exchange(m_closed, {});
    if (m_open) {
        if (auto stretch = close(m_frameLevel.size()))
            last.push_back(std::move(*stretch));
    }
    m_open = false;
    m_samples.clear();
    m_frameLevel.clear();
    m_frameSpeech.clear();
    return last;
}
