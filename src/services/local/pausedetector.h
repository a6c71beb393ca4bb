#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

// A stretch of speech between pauses, ready for the recogniser.
struct SpeechStretch {
    std::vector<float> samples; // 16 kHz mono, trailing silence trimmed, then padded
    std::chrono::milliseconds start { 0 }; // of its first sample, from the start of the recording
    std::chrono::milliseconds pauseBefore { 0 }; // silence since the previous stretch's speech ended
};

// Cuts a 16 kHz recording into stretches of speech at the speaker's pauses, so that each
// can be recognised while the speaker goes on. Energy in 20-ms frames against a threshold
// that follows the background noise; a stretch opens at the first loud frame (with a little
// audio before it, so soft onsets stay) and closes after a pause. Silence never reaches
// the recogniser: a stretch with too little speech in it is dropped.
class PauseDetector {
public:
    struct Settings {
        std::chrono::milliseconds pause { 600 }; // silence that ends a stretch
        // A stretch shorter than this waits for a longer pause, so a lone word joins the
        // words after it instead of costing an encoder pass of its own.
        std::chrono::milliseconds shortStretch { 1000 };
        std::chrono::milliseconds shortStretchPause { 1500 };
        std::chrono::milliseconds minimumSpeech { 100 }; // less is a click or a breath
        std::chrono::milliseconds maximumStretch { 25000 }; // cut at the quietest frame of its last 5 s
        std::chrono::milliseconds preRoll { 200 };
        std::chrono::milliseconds keptAfterSpeech { 150 }; // the rest of the trailing silence goes
        std::chrono::milliseconds padding { 300 }; // silence added so the last word is not cut
    };

    static constexpr int sampleRate = 16000;
    static constexpr std::size_t frameLength = sampleRate / 50; // 20 ms

    PauseDetector();
    explicit PauseDetector(Settings settings);

    // Returns the stretches that these samples closed.
    std::vector<SpeechStretch> append(std::span<const float> samples);
    // The recording ended: what is still open, if it holds speech.
    std::vector<SpeechStretch> finish();

private:
    void addFrame(std::span<const float> frame);
    std::optional<SpeechStretch> close(std::size_t frameCount);
    std::size_t frames(std::chrono::milliseconds duration) const;

    Settings m_settings;
    std::vector<float> m_pending; // less than a frame
    float m_noise = 0.001f; // RMS of the background
    std::size_t m_position = 0; // samples seen in whole frames
    std::size_t m_lastSpeechEnd = 0; // in the recording, samples
    bool m_open = false;
    std::size_t m_start = 0; // of the open stretch, samples
    std::vector<float> m_samples; // of the open stretch, or the pre-roll while none is open
    std::vector<float> m_frameLevel; // per frame of m_samples
    std::vector<bool> m_frameSpeech;
    std::size_t m_silentRun = 0;
    std::vector<SpeechStretch> m_closed;
};
