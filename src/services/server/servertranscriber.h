#pragma once

#include "core/abstractkeychain.h"
#include "core/abstractrealtimetranscriber.h"
#include "services/local/pausedetector.h"
#include "services/local/resampler.h"
#include "services/local/transcriptassembler.h"
#include "services/server/recognitionserverclient.h"

#include <QObject>

#include <chrono>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <vector>

// One dictation recognised on the user's server. As on this computer, the recording is cut at
// the speaker's pauses and each stretch goes to the server while the speaker goes on (at most
// `inFlight` at once); the answers are joined in the recording's order, so after commit() only
// the last stretch is awaited. A stretch the server fails on costs that stretch; a failure the
// next ones would share (no server, a refused key, an unknown model) ends the dictation with
// the text recognised so far. Lives on the main thread, where every callback is made.
class ServerTranscriber final : public QObject, public AbstractRealtimeTranscriber {
public:
    struct Settings {
        RecognitionServerClient::Settings server;
        bool spokenPunctuation = true;
        bool paragraphsAtPauses = false; // the `structured` mode
        int inFlight = 2;
        // Added where the server cannot be reached at the start, when this computer could recognise.
        QString localOffer {};
    };

    static constexpr double inputRate = 24000.0; // the recording's s16le mono
    // The keyring account of the server's key, if it wants one.
    static constexpr auto keyAccount = "recognition-server-key";
    // Characters of prompt sent: whisper reads 224 tokens, and servers keep the prompt's end.
    static constexpr int promptCharacters = 300;

    ServerTranscriber(RealtimeTranscriberCallbacks callbacks, AbstractKeychain *keychain, Settings settings,
        QObject *parent = nullptr);
    ~ServerTranscriber() override;

    // Reads the key and asks the server for its models, so that a server that cannot be used
    // is named before the user speaks; throws DescribedError then. Without a model set, the
    // server's first one is used.
    QCoro::Task<void> connect(QString apiKey, QString prompt, QStringList keywords) override;
    QCoro::Task<void> appendAudio(QByteArray pcm) override;
    QCoro::Task<void> commit() override;
    // Ends the requests under way; nothing more is said.
    QCoro::Task<void> disconnect() override;

    // 16-kHz mono samples, for a recording read from a file.
    void appendSamples(std::span<const float> samples);
    QString model() const { return m_client.settings().model; }

private:
    struct Span {
        std::chrono::milliseconds start;
        std::chrono::milliseconds end;
    };
    struct Result {
        Span span;
        std::chrono::milliseconds pauseBefore;
        bool pending = true;
        std::optional<QString> text {};
        QString failure {};
    };

    void enqueue(std::vector<SpeechStretch> stretches);
    void sendMore();
    QCoro::Task<> send(std::size_t index, std::vector<float> samples, QString prompt);
    void join();
    void finishWhenDone();
    void finishText();
    void fail(const QString &message);
    void stop();
    QString fittedPrompt() const;

    RealtimeTranscriberCallbacks m_callbacks;
    AbstractKeychain *m_keychain;
    Settings m_settings;
    RecognitionServerClient m_client;
    Resampler m_resampler { inputRate };
    PauseDetector m_detector;
    std::optional<TranscriptAssembler> m_transcript;
    std::deque<SpeechStretch> m_queue;
    std::map<std::size_t, Result> m_results; // sent and not yet joined, by index
    std::size_t m_sent = 0;
    std::size_t m_joined = 0;
    int m_inFlight = 0;
    QString m_shown; // the text the partials have given so far
    std::vector<Span> m_lost;
    QString m_lostReason;
    std::optional<QString> m_ending; // a failure the next stretches would share: nothing more is sent
    bool m_committed = false;
    bool m_finishing = false; // the final text is on its way
    bool m_done = false; // final or error given, or disconnected: nothing more is said
};
