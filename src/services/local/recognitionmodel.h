#pragma once

#include "services/local/promptbudget.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

struct transcribe_model;
struct transcribe_session;

struct RecognisedSegment {
    QString text;
    std::chrono::milliseconds start;
    std::chrono::milliseconds end;
    // The engine's own judgement, where it gives one (whisper): how likely the audio held no
    // speech, and the mean probability of the words it decoded. Other engines leave these as
    // they are: nothing known.
    float noSpeechProbability = 0.0f;
    float averageTokenProbability = 1.0f;
};

struct Recognition {
    std::vector<RecognisedSegment> segments;
    // Vocabulary words the prompt could not hold, in the user's order.
    QStringList vocabularyLeftOut;
};

// One loaded recognition model of any family the engine runs (GigaAM, Parakeet, whisper).
// Loading and recognising block for seconds: both run on the recognition worker, never on the
// main thread. Not for two threads at once.
class RecognitionModel {
public:
    static constexpr int sampleRate = 16000;

    struct Options {
        QString language = QStringLiteral("ru"); // "auto" lets the model detect it; never translated
        PromptParts prompt; // for models that read one, fitted into what they read
        int threads = defaultThreadCount();
    };

    // Throws LocalRecognitionError: missing file, not a model, a model of another kind, too
    // little memory.
    static std::unique_ptr<RecognitionModel> load(const QString &path);
    ~RecognitionModel();

    // Float mono 16 kHz. Returns what was recognised, or nothing as soon as `cancel` turns
    // true. Audio longer than the model takes in one call is recognised in pieces. Throws
    // LocalRecognitionError::recognitionFailed, ::languageUnsupported, ::notEnoughMemory.
    Recognition recognise(std::span<const float> samples, const Options &options, const std::atomic_bool &cancel);

    // "gigaam", "parakeet", "whisper".
    QString family() const;
    // The longest audio the model takes in one call (GigaAM: 25 s), if it has a limit.
    std::optional<std::chrono::milliseconds> longestCall() const { return m_longestCall; }

    // The machine's cores, at most 8 (the engine gains little beyond).
    static int defaultThreadCount();

private:
    explicit RecognitionModel(transcribe_model *model);
    Recognition recogniseOnce(std::span<const float> samples, const Options &options, const std::atomic_bool &cancel);
    transcribe_session *session(int threads);

    struct Free {
        void operator()(transcribe_model *model) const;
        void operator()(transcribe_session *session) const;
    };
    std::unique_ptr<transcribe_model, Free> m_model;
    std::unique_ptr<transcribe_session, Free> m_session;
    int m_sessionThreads = 0;
    std::optional<std::chrono::milliseconds> m_longestCall;
};

// Makes the engine's CPU code available before the first model loads: a no-op where it is
// linked in, otherwise the best variant for this CPU from the folder the engine itself was
// loaded from (the program's private folder). Returns false when none was found. Thread-safe;
// the work is done once.
bool loadEngineBackends();
