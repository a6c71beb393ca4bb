#pragma once

#include "core/abstractrealtimetranscriber.h"
#include "services/openai/openaiconfiguration.h"

#include <QJsonObject>
#include <QObject>
#include <QPointer>

#include <chrono>

class QWebSocket;

// Streams the microphone to the OpenAI realtime transcription socket. Lives on the main
// thread: Qt's socket never blocks it, and the callbacks arrive there.
class RealtimeTranscriber final : public QObject, public AbstractRealtimeTranscriber {
public:
    explicit RealtimeTranscriber(
        RealtimeTranscriberCallbacks callbacks, OpenAIConfiguration configuration = {}, QObject *parent = nullptr);
    ~RealtimeTranscriber() override;

    // Throws TranscriptionError.
    QCoro::Task<void> connect(QString apiKey, QString prompt, QStringList keywords) override;
    QCoro::Task<void> appendAudio(QByteArray pcm) override;
    QCoro::Task<void> commit() override;
    QCoro::Task<void> disconnect() override;

    // The session update sent on connect.
    static QJsonObject sessionUpdate(const QString &prompt, const QStringList &keywords);
    // One "input_audio_buffer.append" message, compact JSON.
    static QByteArray appendMessage(const QByteArray &pcm);

    // Test seam: how long the handshake may take.
    void setConnectTimeout(std::chrono::milliseconds timeout) { m_connectTimeout = timeout; }

private:
    bool send(const QByteArray &json);
    void handleMessage(const QByteArray &data);
    void receiveFailed();
    void closeSocket();

    RealtimeTranscriberCallbacks m_callbacks;
    OpenAIConfiguration m_configuration;
    QPointer<QWebSocket> m_socket;
    std::chrono::milliseconds m_connectTimeout { 20'000 };
    bool m_receiving = false;
    bool m_didReceiveFinal = false;
    QString m_textSoFar; // the service sends what each event adds
};
