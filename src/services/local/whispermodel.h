#pragma once

#include "promptbudget.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

struct whisper_context;

struct WhisperSegment {
    QString text;
    std::chrono::milliseconds start;
    std::chrono::milliseconds end;
    // The engine's own judgement, where it gives one: how likely the audio held no speech,
    // and the mean probability of the words it decoded.
    float noSpeechProbability = 0.0f;
    float averageTokenProbability = 1.0f;
};

struct WhisperRecognition {
    std::vector<WhisperSegment> segments;
    // Vocabulary words the prompt could not hold, in the user's order.
    QStringList vocabularyLeftOut;
};

// One loaded whisper model. Loading and recognising block for seconds: both run on the
// recognition worker, never on the main thread. Not for two threads at once.
class WhisperModel {
public:
    static constexpr int sampleRate = 16000;

    struct Options {
        QString language = QStringLiteral("ru"); // "auto" lets the model detect it; never translated
        PromptParts prompt; // fitted into what the model reads of a prompt
        int threads = defaultThreadCount();
        // Encode only as much of the 30-s window as the audio fills (see audioContextFor).
        bool shortAudioContext = true;
    };

    // Throws LocalRecognitionError: missing file, not a model, too little memory.
    static std::unique_ptr<WhisperModel> load(const QString &path);
    ~WhisperModel();

    // Float mono 16 kHz. Returns what was recognised, or nothing as soon as `cancel`
    // turns true. Throws LocalRecognitionError::recognitionFailed.
    WhisperRecognition recognise(
        std::span<const float> samples, const Options &options, const std::atomic_bool &cancel);

    // The encoder's context for this much audio: 50 frames a second plus one second of
    // margin, rounded up to 64 frames, at most the full window (1500).
    static int audioContextFor(std::size_t sampleCount);
    // The machine's cores, at most 8 (whisper gains little beyond).
    static int defaultThreadCount();

private:
    explicit WhisperModel(whisper_context *context);

    struct Free {
        void operator()(whisper_context *context) const;
    };
    std::unique_ptr<whisper_context, Free> m_context;
};

// Makes the engine's CPU code available before the first model loads: a no-op where it is
// linked in, otherwise the best variant for this CPU from the program's private folder.
// Returns false when none was found. Thread-safe; the work is done once.
bool loadEngineBackends();
