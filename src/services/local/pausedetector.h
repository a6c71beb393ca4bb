#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <span>
#include <vector>

// A stretch of speech between pauses, ready for the recogniser.
struct SpeechStretch {
    std::vector<float> samples; // 16 kHz mono, trailing silence trimmed, then padded
    std::chrono::milliseconds start { 0 }; // of its first sample, from the start of the recording
    std::chrono::milliseconds pauseBefore { 0 }; // silence since the previous stretch's speech ended
};

// Cuts a 16 kHz recording into stretches of speech at the speaker's pauses, so that each
// can be recognised while the speaker goes on. The level of 20-ms frames (above hum and
// rumble) is compared with the background: a low percentile of the last 1.5 s of levels,
// whatever they were judged to be, so a fan that starts or a noisy room is learnt within
// that time. A stretch opens at the first frame that stands out (with a little audio before
// it, so soft onsets stay) and closes after a pause; then its frames are judged again against
// the background that followed them, so a noise that only passed for speech while it was new
// never reaches the recogniser, and a pause it hid still divides the speech.
class PauseDetector {
public:
    struct Settings {
        std::chrono::milliseconds pause { 600 }; // silence that ends a stretch
        // A stretch shorter than this waits for a longer pause, so a lone word joins the
        // words after it instead of costing an encoder pass of its own.
        std::chrono::milliseconds shortStretch { 1000 };
        std::chrono::milliseconds shortStretchPause { 1500 };
        std::chrono::milliseconds minimumSpeech { 100 }; // less is a click or a breath
        // Of the samples handed out, pre-roll and padding included; a longer run of speech is
        // cut at the quietest moment of its last 5 s.
        std::chrono::milliseconds maximumStretch { 25000 };
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
    struct Frame {
        float level; // RMS above hum and rumble
        float background; // as it was when the frame came
        bool speech; // judged then
    };

    void addFrame(std::span<const float> frame);
    float highPass(float sample);
    void close(std::size_t frameCount);
    void dropFrames(std::size_t count);
    std::size_t frames(std::chrono::milliseconds duration) const;
    std::size_t pauseAfter(std::size_t speechFrames) const;

    Settings m_settings;
    std::vector<float> m_pending; // less than a frame
    float m_filter[4] {}; // the high-pass's last inputs and outputs
    std::deque<float> m_recentLevels; // the frames the background is taken from
    float m_background = 0;
    std::size_t m_position = 0; // samples seen in whole frames
    std::size_t m_lastSpeechEnd = 0; // in the recording, samples
    bool m_open = false;
    std::size_t m_start = 0; // of m_samples' first sample in the recording
    std::vector<float> m_samples; // of the open stretch, or the pre-roll while none is open
    std::vector<Frame> m_frames; // of m_samples
    std::size_t m_silentRun = 0;
    std::vector<SpeechStretch> m_closed;
};
